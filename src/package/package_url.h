// The URLs and size texts of the package update: where a package file lives beside its manifest,
// and how its size reads in a download line.
#pragma once

#include <cstdint>
#include <string>

namespace velm {

// True when the URL is longer than 8 bytes, starts with "https://" in any ASCII case, and its
// ninth byte is not "/". Looser than the catalogue's URL check: the rest is not looked at.
bool isHttpsUrl(const std::string& url);

// Stricter: "https://" in any ASCII case, then a host and, when a port is given, a valid one;
// no NUL. The address of something both platforms' HTTP clients will ask for (user and password
// before "@" are no host).
bool isRequestableHttpsUrl(const std::string& url);

// The download URL of a package file: the manifest URL without its query or fragment, cut after
// its last "/" past the host (or given one), followed by the percent-encoded name.
std::string fileUrl(const std::string& manifestUrl, const std::string& name);

// Keeps ASCII letters, digits and "-._~"; every other byte becomes "%" and two upper-case digits.
std::string percentEncode(const std::string& text);

// "N KB" below 1 MiB, "N.N MB" below 10 MiB, "N MB" from 10 MiB, every division rounded down
// except the one-decimal form, which the formatter rounds.
std::string sizeText(uint64_t bytes);

}  // namespace velm
