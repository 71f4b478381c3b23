#pragma once

// Thread guarantees: every call is safe from any thread. The identity and the key in force
// are kept under one lock of their own, which is never held while anything else is locked
// or host code runs.

#include <optional>
#include <string>

namespace lumvex::platform {

/// The application's identifier: the host's `setApplicationIdentity`, else the main
/// bundle's "CFBundleIdentifier"; nothing when neither can name a folder (empty, ".",
/// "..", with "/" or NUL, over 255 bytes).
std::optional<std::string> applicationIdentifier();

/// The application's version: the host's, when it gave its identity in code, else the
/// Info.plist's "CFBundleShortVersionString"; empty when there is none.
std::string applicationVersion();

/// How a key came to be in force.
enum class KeyUse {
    /// A configuration was built with it: in force until the first start.
    built,
    /// The library started with it: in force until a start with another.
    started,
};

/// Notes the API key under which fixes stored from now on are to be uploaded. A change
/// moves the store of a host without an identifier, and of one whose folder holds another
/// key's fixes, so the caches directory is settled again.
void noteApiKey(const std::string& key, KeyUse use);

/// The name of the store's folder under `base`. The identifier's own folder is kept while
/// it holds no other key's fixes (its "key.lmx" names the key's tag); another key gets
/// "<identifier>-<tag>". Without an identifier, "<executable name>-<tag>": hosts that share
/// an executable (every Python script is python3) never share a store, and a store holds
/// one key's fixes. Nothing, and why, when there is no identifier and no key in force yet.
std::optional<std::string> storeName(const std::string& base, std::string& why);

/// Marks the identifier's own folder `directory` as holding the fixes of the key in force,
/// when nothing marks it yet: a store made before keys were recorded belongs to the first
/// key that starts with it.
void claimStore(const std::string& directory);

/// 16 hexadecimal digits of the SHA-256 of `key`: names a key in file and folder names
/// without giving it away.
std::string keyTag(const std::string& key);

/// Forgets the identity given in code and the key in force: for tests.
void forgetIdentity();

}  // namespace lumvex::platform
