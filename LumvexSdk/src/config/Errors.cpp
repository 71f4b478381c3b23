#include <LumvexSdk/Errors.h>

#include "platform/base/NoDestructor.h"

#include <cstddef>

namespace lumvex {

namespace {

// The cases' names, in the order of their values.
constexpr const char* startExceptionNames[] = {"ERROR", "ALREADY_STARTED", "INVALID_EMPTY_API_KEY"};
constexpr const char* exceptionNames[] = {"PUSH_FAILED", "JSON_SERIALIZATION_FAILED"};

// What each case means, for `std::error_code::message()`: a host that logs only the error
// code still tells its operator where to look.
// Each long text is parenthesised: it is one element, whose lines are joined on purpose.
constexpr const char* startExceptionMessages[] = {
    ("ERROR: the start was refused (no configuration, a push frequency out of range, an endpoint "
     "that cannot take uploads, no usable caches directory, no thread for the work queue, or a "
     "child process made by fork()); the log line before it names the cause"),
    "ALREADY_STARTED: the library is started already",
    ("INVALID_EMPTY_API_KEY: the API key is empty; the log line before it names the Info.plist "
     "that was read")};
constexpr const char* exceptionMessages[] = {
    ("PUSH_FAILED: the upload failed (no answer, or an answer other than HTTP 200); what it "
     "carried is kept for the next upload"),
    "JSON_SERIALIZATION_FAILED: the upload's body could not be written as JSON"};

template <std::size_t N>
const char* caseName(const char* const (&names)[N], int value) {
    return value >= 0 && static_cast<std::size_t>(value) < N ? names[value] : "UNKNOWN";
}

const char* caseName(LumvexStartException e) {
    return caseName(startExceptionNames, static_cast<int>(e));
}

const char* caseName(LumvexException e) {
    return caseName(exceptionNames, static_cast<int>(e));
}

const char* caseMessage(LumvexStartException e) {
    return caseName(startExceptionMessages, static_cast<int>(e));
}

const char* caseMessage(LumvexException e) {
    return caseName(exceptionMessages, static_cast<int>(e));
}

template <typename E>
class Category final : public std::error_category {
public:
    explicit Category(const char* name) : name_(name) {}
    const char* name() const noexcept override { return name_; }
    std::string message(int value) const override { return caseMessage(static_cast<E>(value)); }

private:
    const char* name_;
};

}  // namespace

// The categories are never destroyed: the first one is often made on the upload thread
// after the HTTP layer's exit handler was registered, so exit would tear it down while that
// thread may still be formatting an upload's error.
const std::error_category& lumvexStartExceptionCategory() noexcept {
    static platform::NoDestructor<Category<LumvexStartException>> category("LumvexSdk.LumvexStartException");
    return *category;
}

const std::error_category& lumvexExceptionCategory() noexcept {
    static platform::NoDestructor<Category<LumvexException>> category("LumvexSdk.LumvexException");
    return *category;
}

std::error_code make_error_code(LumvexStartException e) noexcept {
    return {static_cast<int>(e), lumvexStartExceptionCategory()};
}

std::error_code make_error_code(LumvexException e) noexcept {
    return {static_cast<int>(e), lumvexExceptionCategory()};
}

std::string to_string(LumvexStartException e) {
    return std::string(lumvexStartExceptionCategory().name()) + "." + caseName(e);
}

std::string to_string(LumvexException e) {
    return std::string(lumvexExceptionCategory().name()) + "." + caseName(e);
}

std::string to_string(const std::optional<LumvexStartException>& e) {
    return e ? "Optional(" + to_string(*e) + ")" : "nil";
}

std::string to_string(const std::optional<LumvexException>& e) {
    return e ? "Optional(" + to_string(*e) + ")" : "nil";
}

}  // namespace lumvex
