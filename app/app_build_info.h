#pragma once

#include <functional>
#include <map>
#include <string>

namespace velmora {

// The application's information dictionary: the keys this build carries, each with its text.
using InformationDictionary = std::map<std::string, std::string, std::less<>>;

// Written into the program when the build was configured: "CFBundleShortVersionString" always,
// "CFBundleVersion", "GIT_BUILD_FINGERPRINT" and "GIT_COMMIT_HASH" when the sources were a git
// checkout.
const InformationDictionary& bundleInformationDictionary();

// What the host says about its own version, in log lines and in the status menu.
struct AppBuildInfo {
  static std::string version() { return version(bundleInformationDictionary()); }
  static std::string build() { return build(bundleInformationDictionary()); }
  static std::string fingerprint() { return fingerprint(bundleInformationDictionary()); }

  // "—" when the key is absent; an empty text is kept as it is.
  static std::string version(const InformationDictionary& dictionary);
  static std::string build(const InformationDictionary& dictionary);
  // The first non-empty one of "GIT_BUILD_FINGERPRINT" and "GIT_COMMIT_HASH", else "unknown".
  static std::string fingerprint(const InformationDictionary& dictionary);
};

}  // namespace velmora
