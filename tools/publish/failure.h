// How the publisher's steps refuse: the reason into *error, when the caller wants it, and false.
#pragma once

#include <string>

namespace velm {

inline bool fail(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
  return false;
}

}  // namespace velm
