#include "platform/system/Device.h"

#include "FakeSystem.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lumvex::platform {
namespace {

TEST(Device, SystemVersionComesFromOsReleaseElseTheKernelRelease) {
    test::FakeSystem system;
    EXPECT_EQ(Device::systemVersion(), "") << "nothing to read at all";

    system.put("/proc/sys/kernel/osrelease", "6.1.0-18-amd64\n");
    EXPECT_EQ(Device::systemVersion(), "6.1.0-18-amd64");

    system.put("/usr/lib/os-release", "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"11\"\n");
    EXPECT_EQ(Device::systemVersion(), "11") << "the vendor copy when /etc has none";

    system.put("/etc/os-release",
               "# comment\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"
               "NAME=\"Debian GNU/Linux\"\n  VERSION_ID=\"12\"  \nVERSION=\"12 (bookworm)\"\n");
    EXPECT_EQ(Device::systemVersion(), "12");

    system.put("/etc/os-release", "VERSION_ID=22.04\n");
    EXPECT_EQ(Device::systemVersion(), "22.04") << "unquoted";
    system.put("/etc/os-release", "VERSION_ID='39'");
    EXPECT_EQ(Device::systemVersion(), "39") << "single quotes, no final line feed";
    system.put("/etc/os-release", "VERSION_ID=\"1.\\\"x\\\"\"\n");
    EXPECT_EQ(Device::systemVersion(), "1.\"x\"") << "escaped quotes";

    // An os-release without a usable VERSION_ID (rolling releases, broken files) leaves the
    // kernel release; the vendor copy is not consulted once /etc has one.
    for (const char* text : {"NAME=Arch\nID=arch\n", "VERSION_ID=\"12\n", "VERSION_ID=\n", "VERSION_ID=1 2\n",
                             "MY_VERSION_ID=5\nVERSION_IDX=6\n", ""}) {
        system.put("/etc/os-release", text);
        EXPECT_EQ(Device::systemVersion(), "6.1.0-18-amd64") << text;
    }
}

TEST(Device, ModelAndIdiomNameAKindOfMachine) {
    test::FakeSystem system;
    struct Case {
        const char* chassis;
        const char* model;
        UserInterfaceIdiom idiom;
    };
    const std::vector<Case> cases = {
        {"3\n", "Desktop", UserInterfaceIdiom::Desktop},
        {"35\n", "Desktop", UserInterfaceIdiom::Desktop},
        {"10\n", "Laptop", UserInterfaceIdiom::Desktop},
        {"23\n", "Server", UserInterfaceIdiom::Desktop},
        {"11\n", "Handheld", UserInterfaceIdiom::Phone},
        {"30\n", "Tablet", UserInterfaceIdiom::Pad},
        {"31\n", "Convertible", UserInterfaceIdiom::Pad},
        {"32\n", "Detachable", UserInterfaceIdiom::Pad},
        {"1\n", "Computer", UserInterfaceIdiom::Unspecified},
        {"2\n", "Computer", UserInterfaceIdiom::Unspecified},
        {"", "Computer", UserInterfaceIdiom::Unspecified},
        {"tablet\n", "Computer", UserInterfaceIdiom::Unspecified},
        {"30 \n", "Computer", UserInterfaceIdiom::Unspecified},
        {"-30\n", "Computer", UserInterfaceIdiom::Unspecified},
        {"0030\n", "Computer", UserInterfaceIdiom::Unspecified},
    };
    for (const auto& c : cases) {
        system.put("/sys/class/dmi/id/chassis_type", c.chassis);
        EXPECT_EQ(Device::model(), c.model) << c.chassis;
        EXPECT_EQ(Device::userInterfaceIdiom(), c.idiom) << c.chassis;
    }
    system.remove("/sys/class/dmi/id/chassis_type");
    EXPECT_EQ(Device::model(), "Computer");
    EXPECT_EQ(Device::userInterfaceIdiom(), UserInterfaceIdiom::Unspecified);
}

TEST(Device, NameIsTheHostName) {
    test::FakeSystem system;
    EXPECT_EQ(Device::name(), "");

    system.put("/etc/hostname", "# set by the installer\n\n  static-name  \nignored\n");
    EXPECT_EQ(Device::name(), "static-name") << "the static name when the kernel has none";

    system.put("/proc/sys/kernel/hostname", "(none)\n");
    EXPECT_EQ(Device::name(), "static-name") << "the kernel's placeholder is not a name";

    system.put("/proc/sys/kernel/hostname", "Ada's workstation\n");
    EXPECT_EQ(Device::name(), "Ada's workstation");

    system.put("/proc/sys/kernel/hostname", "caf\xC3\xA9\xFF\n");
    EXPECT_EQ(Device::name(), "caf\xC3\xA9\xFF") << "bytes are passed on as they are";
}

}  // namespace
}  // namespace lumvex::platform
