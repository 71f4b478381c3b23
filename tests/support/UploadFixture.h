#pragma once

#include "Collector.h"
#include "StdoutFile.h"
#include "TestSupport.h"

#include <LumvexSdk/Lumvex.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace lumvex::test {

/// What one push callback received.
class PushOutcome {
public:
    /// A callback that records its error and the count of calls.
    PushCallback callback() {
        return [this](std::optional<LumvexException> error) {
            {
                std::lock_guard<std::mutex> guard(mutex_);
                error_ = error;
            }
            signal_.notify();
        };
    }
    bool wait(std::chrono::milliseconds timeout = std::chrono::seconds(20)) { return signal_.wait(timeout); }
    int calls() const { return signal_.count(); }
    std::optional<LumvexException> error() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return error_;
    }

private:
    mutable std::mutex mutex_;
    std::optional<LumvexException> error_;
    Signal signal_;
};

/// A host with its own bundle, caches directory and a whole described machine in a
/// temporary root, so that the device description and the vendor id are fixed, and the
/// debug log on. The trace and device files start absent.
class UploadFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    /// A configuration for `apiKey` (written into the host's Info.plist, as hosts do).
    std::shared_ptr<const LumvexConfiguration> configuration(PushFormat format,
                                                             PushRegion region = PushRegion::EU,
                                                             const std::string& apiKey = "test-key",
                                                             std::int64_t pushFrequency = 1440);

    /// Changes a file of the described machine, e.g. its host name.
    void putSystemFile(const std::string& path, const std::string& content);
    void removeSystemFile(const std::string& path);

    void addTraces(int count);

    std::string tracesPath() const { return home_.cachesDir() + "/backup.lmx"; }
    std::string specsPath() const { return home_.cachesDir() + "/specs.lmx"; }
    /// The content of a file, or nothing when it does not exist.
    std::optional<std::string> contentOf(const std::string& path) const;

    IsolatedHome home_;

private:
    void applySources();
    TempDir root_;
};

}  // namespace lumvex::test
