#pragma once
// Cutting the profile out of an update page. The page is read as text in
// pieces of at most 255 characters (a 256-byte line buffer): a piece ends
// after a line feed, or earlier when the line is longer. Between a start line
// "<!--" and an end line "!!<crc>-->" the lines are joined; the end line adds a
// line feed and the CRC digits, which makes the text a profile file.
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

inline constexpr size_t kPageLineBuffer = 256;

// Splits bytes into pieces as a text-mode line read does: "\r\n" counts as
// "\n", a lone "\r" is kept.
class PagePieceReader {
 public:
  // Reads from an open file.
  explicit PagePieceReader(std::FILE* file) : file_(file) {}
  // Reads from memory (tests, fuzzers).
  explicit PagePieceReader(std::string_view bytes);

  // Fills piece (kPageLineBuffer bytes, zero-terminated) and returns its
  // length; 0 at the end of the page.
  size_t Next(char* piece);

 private:
  int Get();
  int Peek();
  bool Fill();

  std::FILE* file_ = nullptr;
  const char* data_ = nullptr;
  size_t length_ = 0;
  size_t position_ = 0;
  char buffer_[16384];
};

// The block state between pieces.
struct PageExtractor {
  bool inBlock = false;
  // Appends to out what one piece contributes to the profile text.
  void Feed(const char* piece, size_t length, std::string* out);
};

// The whole extraction over a page held in memory.
std::string ExtractProfileText(std::string_view page);
