// Where the back end lives, and the push client's build-time settings.
//
// The back end's base URL is "http://" + host + ":8080", the host fixed at build time
// (QUORVANE_BACKEND_HOST, default 127.0.0.1). The web front end's start page is the base URL followed by
// "/vqd_web/#/". Both can be moved at run time, for the development back end and for tests:
//   - the environment variable QUORVANE_BACKEND, read on first use: a base URL ("http://10.0.0.2:9000"),
//     or a bare host name ("10.0.0.2", which keeps port 8080);
//   - AppConfig::setBaseURL, which wins over both.
// A value that is no http(s) URL is refused with a console line and the earlier base URL stays.
// Safe to use from any thread.
#pragma once

#include <string>

#ifndef QUORVANE_BACKEND_HOST
#define QUORVANE_BACKEND_HOST "127.0.0.1"
#endif

inline constexpr const char* kAppBackendHost = QUORVANE_BACKEND_HOST;
inline constexpr const char* kAppBackendPort = "8080";
inline constexpr const char* kAppStartPagePath = "/vqd_web/#/";
inline constexpr const char* kAppBackendEnvironmentVariable = "QUORVANE_BACKEND";

// The push client's settings.
inline constexpr const char* kPushAppKey = "9be2407d13ac6f58d2e71a3c";
inline constexpr const char* kPushChannel = "Publish channel";
inline constexpr bool kPushApsForProduction = true;

namespace AppConfig {

// "http://<host>:8080" unless moved; never ends with "/".
std::string baseURL();
// The base URL followed by "/vqd_web/#/".
std::string startPageURL();

// Moves the back end for the rest of the run. False when `url` is not an absolute http or https URL with
// a host (the base URL stays as it was): the reason goes to `why` when given, else to the console. A
// trailing "/" is dropped.
bool setBaseURL(const std::string& url, std::string* why = nullptr);
// Forgets setBaseURL: the next read takes the environment or the build-time host again (tests).
void resetBaseURL();

// Whether `url` has the back end's scheme, host and port (default ports filled in; case-insensitive).
bool isBackendOrigin(const std::string& url);

}  // namespace AppConfig
