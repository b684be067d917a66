#include "profile/update_page.h"

#include <cstring>

PagePieceReader::PagePieceReader(std::string_view bytes) : data_(bytes.data()), length_(bytes.size()) {}

bool PagePieceReader::Fill() {
  if (!file_) return false;
  length_ = std::fread(buffer_, 1, sizeof buffer_, file_);
  data_ = buffer_;
  position_ = 0;
  return length_ > 0;
}

int PagePieceReader::Peek() {
  if (position_ == length_ && !Fill()) return EOF;
  return static_cast<unsigned char>(data_[position_]);
}

int PagePieceReader::Get() {
  int c = Peek();
  if (c == EOF) return EOF;
  ++position_;
  if (c == '\r' && Peek() == '\n') {
    ++position_;
    return '\n';
  }
  return c;
}

size_t PagePieceReader::Next(char* piece) {
  size_t n = 0;
  while (n < kPageLineBuffer - 1) {
    int c = Get();
    if (c == EOF) break;
    piece[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  piece[n] = '\0';
  return n;
}

void PageExtractor::Feed(const char* piece, size_t length, std::string* out) {
  if (!inBlock) {
    inBlock = length == 5 && std::memcmp(piece, "<!--\n", 5) == 0;
    return;
  }
  if (length >= 2 && piece[0] == '!' && piece[1] == '!') {
    // "!!123-->\n" gives "\n123-"; "!!123-->" at the very end gives "\n123".
    out->push_back('\n');
    if (length >= 5) out->append(piece + 2, length - 5);
    inBlock = false;
    return;
  }
  if (piece[length - 1] == '\n') --length;
  out->append(piece, length);
}

std::string ExtractProfileText(std::string_view page) {
  PagePieceReader reader(page);
  PageExtractor extractor;
  std::string out;
  char piece[kPageLineBuffer];
  for (size_t n; (n = reader.Next(piece)) > 0;) extractor.Feed(piece, n, &out);
  return out;
}
