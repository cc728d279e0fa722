#include "text/columns.h"

#include <vector>

#include "text/utf8.h"

namespace velm {
namespace {

// Wide on most consoles, or on some (symbols and emoji that terminals draw either way).
constexpr CodePointRange kWide[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23FA},
    {0x25FD, 0x25FE},   {0x2600, 0x27BF},   {0x2B1B, 0x2B55},   {0x2E80, 0xA4CF},
    {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},
    {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x18CFF},
    {0x1AFF0, 0x1B2FF}, {0x1F000, 0x1FAFF}, {0x20000, 0x3FFFD},
};

size_t columnsOf(char32_t c) { return c >= 0x1100 && inRanges(c, kWide) ? 2 : 1; }

constexpr char kEllipsis[] = "...";
constexpr size_t kEllipsisColumns = sizeof kEllipsis - 1;

// A code point of the text: where it ends and the columns up to and including it.
struct Piece {
  size_t end;
  size_t columns;
};

}  // namespace

size_t consoleColumns(const std::string& text) {
  size_t columns = 0;
  for (size_t i = 0; i < text.size();) columns += columnsOf(nextCodePoint(text, i));
  return columns;
}

std::string fitColumns(const std::string& text, size_t columns) {
  std::vector<Piece> pieces;
  size_t total = 0;
  for (size_t i = 0; i < text.size();) {
    total += columnsOf(nextCodePoint(text, i));
    pieces.push_back({i, total});
  }
  if (total <= columns) return text;
  if (columns <= kEllipsisColumns) return std::string(kEllipsis, columns);
  // The start gets the smaller half of what is left, the end (with the extension) the rest.
  const size_t room = columns - kEllipsisColumns;
  size_t head = 0;  // bytes of the start
  size_t headColumns = 0;
  for (const Piece& piece : pieces) {
    if (piece.columns > room / 2) break;
    head = piece.end;
    headColumns = piece.columns;
  }
  size_t tail = text.size();  // the byte where the end begins
  for (size_t n = pieces.size(); n-- > 0;) {
    const Piece* before = n == 0 ? nullptr : &pieces[n - 1];
    if (total - (before != nullptr ? before->columns : 0) > room - headColumns) break;
    tail = before != nullptr ? before->end : 0;
  }
  return text.substr(0, head) + kEllipsis + text.substr(tail);
}

}  // namespace velm
