#include "FakeSystem.h"

#include "platform/system/DeviceSources.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace lumvex::test {

FakeSystem::FakeSystem() {
    apply();
}

FakeSystem::~FakeSystem() {
    platform::resetDeviceSources();
}

void FakeSystem::put(const std::string& path, const std::string& content) {
    const fs::path full = root_.path() + path;
    fs::create_directories(full.parent_path());
    writeFile(full.string(), content);
}

void FakeSystem::remove(const std::string& path) {
    fs::remove(root_.path() + path);
}

void FakeSystem::link(const std::string& path, const std::string& target) {
    const fs::path full = root_.path() + path;
    fs::create_directories(full.parent_path());
    fs::remove(full);
    fs::create_symlink(target, full);
}

void FakeSystem::setEnv(const std::string& name, const std::string& value) {
    env_[name] = value;
    apply();
}

void FakeSystem::clearEnv() {
    env_.clear();
    apply();
}

void FakeSystem::apply() {
    platform::setDeviceSources(platform::DeviceSources{root_.path(), env_});
}

}  // namespace lumvex::test
