// Every rule the launcher has for a URL, in one place: which addresses each signed field may
// hold, which ones both platforms' HTTP clients will ask for, and the addresses derived from
// others (a document's signature, a package file beside its manifest). The rules differ on
// purpose, each for the launchers that already read the field by it, and velm-publish holds
// every document to them.
#pragma once

#include <string>
#include <string_view>

namespace velm {

// "https://", or "http://", in any ASCII case at the front: the schemes a Net asks with; any
// other address (curl would guess a scheme for "host/path") is asked nowhere.
bool hasHttpsScheme(std::string_view url);
bool hasHttpScheme(std::string_view url);

// A URL field of the catalogue: longer than 8 bytes, "https://" in any case, no blank, control
// or DEL byte, and neither '/', '?' nor '#' right after the scheme.
bool isAbsoluteHttpsUrl(std::string_view url);

// A manifest's address as the package update takes it: longer than 8 bytes, "https://" in any
// case, and no '/' right after the scheme. Looser than the catalogue's rule: the rest is not
// looked at.
bool isHttpsUrl(std::string_view url);

// An address both platforms' HTTP clients will ask for: "https://" in any case, then a host and,
// when a port is given, a valid one; no blank, control or DEL byte. User and password before
// "@" are no host, and a host holds none of the characters that curl's URL parser refuses.
bool isRequestableHttpsUrl(std::string_view url);

// The launcher block's address as every launcher since the first has read it when it judges the
// block complete: "https://" in lower case.
bool hasLowerCaseHttpsScheme(std::string_view url);

// The document URL up to its first '?' or '#', followed by ".sig".
std::string signatureUrl(const std::string& documentUrl);

// The download URL of a package file: the manifest URL without its query or fragment, cut after
// its last "/" past the host (or given one), followed by the percent-encoded name.
std::string fileUrl(const std::string& manifestUrl, const std::string& name);

// Keeps ASCII letters, digits and "-._~"; every other byte becomes "%" and two upper-case digits.
std::string percentEncode(const std::string& text);

}  // namespace velm
