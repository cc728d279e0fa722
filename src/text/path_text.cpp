#include "text/path_text.h"

#include <type_traits>

#include "text/text.h"

namespace velm {
namespace {

// Windows keeps paths in UTF-16, the POSIX port in bytes; each branch is taken on one of them.
constexpr bool kWidePaths = std::is_same_v<std::filesystem::path::value_type, wchar_t>;

}  // namespace

std::filesystem::path pathFromUtf8(const std::string& text) {
  if constexpr (kWidePaths) return std::filesystem::path(utf8ToWide(text));
  return std::filesystem::path(text);
}

std::filesystem::path pathFromWide(const std::wstring& path) {
  if constexpr (kWidePaths) return std::filesystem::path(path);
  return std::filesystem::path(wideToUtf8(path));
}

std::string pathToUtf8(const std::filesystem::path& path) {
  const auto& native = path.native();
  if constexpr (kWidePaths) {
    return wideToUtf8(std::wstring(native.begin(), native.end()));
  } else {
    return std::string(native.begin(), native.end());
  }
}

std::filesystem::path joinPath(const std::filesystem::path& folder, const std::string& name) {
  return folder / pathFromUtf8(name);
}

}  // namespace velm
