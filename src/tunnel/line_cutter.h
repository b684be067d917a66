#pragma once
// Cuts the management byte stream into lines. CR or CR LF ends a line; a
// lone LF does not. A NUL ends the bytes of one receive. Lines are cut in
// place in a fixed buffer: no allocation per line or connection.
#include <cstddef>
#include <cstring>

class LineCutter {
 public:
  // Text not yet cut into lines: at most kCapacity - 1 characters and a NUL.
  static constexpr size_t kCapacity = 2048;

  // Forgets text left from a previous connection.
  void Reset() {
    length_ = 0;
    skipLf_ = false;
  }

  // Takes the bytes of one receive and calls onLine(char* line) for every
  // line completed, in order, before it returns. The line is NUL-terminated,
  // without its line end, and may be changed in place by onLine. Returns
  // false when the peer has sent more than a line can hold without a line
  // end; the cutter is then reset and the connection should be dropped.
  template <class OnLine>
  bool Feed(const char* data, size_t size, OnLine&& onLine) {
    const void* nul = std::memchr(data, '\0', size);
    if (nul) size = static_cast<size_t>(static_cast<const char*>(nul) - data);
    // The LF of a CR LF split across two receives belongs to the line before.
    if (skipLf_ && size > 0) {
      skipLf_ = false;
      if (data[0] == '\n') {
        ++data;
        --size;
      }
    }
    while (size > 0) {
      const char* cr = static_cast<const char*>(std::memchr(data, '\r', size));
      size_t piece = cr ? static_cast<size_t>(cr - data) : size;
      if (length_ + piece > kCapacity - 1) {
        Reset();
        return false;
      }
      std::memcpy(buffer_ + length_, data, piece);
      length_ += piece;
      buffer_[length_] = '\0';
      if (!cr) break;
      data += piece + 1;
      size -= piece + 1;
      if (size == 0) {
        skipLf_ = true;
      } else if (data[0] == '\n') {
        ++data;
        --size;
      }
      length_ = 0;
      onLine(buffer_);
    }
    return true;
  }

  // Characters held back while their line end has not arrived.
  size_t Pending() const { return length_; }

 private:
  char buffer_[kCapacity] = {};
  size_t length_ = 0;
  bool skipLf_ = false;
};
