#pragma once

#include "TestSupport.h"

#include <map>
#include <string>

namespace lumvex::test {

/// A machine made of files under a temporary root and a private environment, installed as
/// the device layer's sources for the life of the object, so that no value a test reads
/// depends on the machine it runs on.
class FakeSystem {
public:
    /// Installs an empty root and an empty environment.
    FakeSystem();
    /// Back to the real root and the process environment.
    ~FakeSystem();
    FakeSystem(const FakeSystem&) = delete;
    FakeSystem& operator=(const FakeSystem&) = delete;

    /// Writes `content` at `path` ("/etc/os-release") under the root, making its folders.
    void put(const std::string& path, const std::string& content);
    void remove(const std::string& path);
    /// Makes `path` under the root a symbolic link to `target`, taken as it is.
    void link(const std::string& path, const std::string& target);

    void setEnv(const std::string& name, const std::string& value);
    void clearEnv();

private:
    void apply();

    TempDir root_;
    std::map<std::string, std::string> env_;
};

}  // namespace lumvex::test
