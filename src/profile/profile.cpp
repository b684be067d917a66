#include "profile/profile.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "platform/temp_file.h"
#include "runtime/shared_state.h"
#include "profile/profile_file.h"
#include "runtime/server_list.h"

namespace {

constexpr uint32_t kCrcPolynomial = 0xEDB88320u;

// entry[0] is the classic 256-entry table; entry[1..7] let the loop take
// eight bytes per step (same result, several times the speed on long lines).
struct CrcTable {
  uint32_t entry[8][256];
  constexpr CrcTable() : entry() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? kCrcPolynomial ^ (c >> 1) : c >> 1;
      entry[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i)
      for (int t = 1; t < 8; ++t) entry[t][i] = (entry[t - 1][i] >> 8) ^ entry[0][entry[t - 1][i] & 0xFF];
  }
};
constexpr CrcTable kCrcTable;

// -1 marks every byte outside the Base64 alphabet ("=" included): skipped.
struct Base64Table {
  signed char value[256];
  constexpr Base64Table() : value() {
    for (int i = 0; i < 256; ++i) value[i] = -1;
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) value[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
  }
};
constexpr Base64Table kBase64Table;

// Writes never overtake reads (3 bytes out per 4 characters in), so out may equal in.
size_t Base64DecodeInto(const char* text, size_t length, unsigned char* out) {
  const void* nul = std::memchr(text, 0, length);
  if (nul) length = static_cast<size_t>(static_cast<const char*>(nul) - text);
  uint32_t group = 0;
  int count = 0;
  size_t o = 0;
  for (size_t i = 0; i < length; ++i) {
    int v = kBase64Table.value[static_cast<unsigned char>(text[i])];
    if (v < 0) continue;
    group = (group << 6) | static_cast<uint32_t>(v);
    if (++count == 4) {
      out[o++] = static_cast<unsigned char>(group >> 16);
      out[o++] = static_cast<unsigned char>(group >> 8);
      out[o++] = static_cast<unsigned char>(group);
      group = 0;
      count = 0;
    }
  }
  if (count == 2) {
    out[o++] = static_cast<unsigned char>(group >> 4);
  } else if (count == 3) {
    out[o++] = static_cast<unsigned char>(group >> 10);
    out[o++] = static_cast<unsigned char>(group >> 2);
  }
  return o;
}

// The state lives in 32-bit cells: the same cipher, without byte-register
// stalls in the inner loop.
void Rc4InPlace(const char* key, unsigned char* bytes, size_t length) {
  uint32_t s[256];
  for (uint32_t i = 0; i < 256; ++i) s[i] = i;
  size_t keyLength = key ? std::strlen(key) : 0;
  // An empty key behaves as the one-byte key 0 rather than dividing by zero.
  const unsigned char zero = 0;
  const unsigned char* k = keyLength ? reinterpret_cast<const unsigned char*>(key) : &zero;
  if (!keyLength) keyLength = 1;
  uint32_t j = 0;
  for (size_t i = 0; i < 256; ++i) {
    j = (j + s[i] + k[i % keyLength]) & 0xFF;
    uint32_t t = s[i];
    s[i] = s[j];
    s[j] = t;
  }
  uint32_t x = 0;
  j = 0;
  for (size_t n = 0; n < length; ++n) {
    x = (x + 1) & 0xFF;
    uint32_t sx = s[x];
    j = (j + sx) & 0xFF;
    uint32_t sj = s[j];
    s[x] = sj;
    s[j] = sx;
    bytes[n] ^= static_cast<unsigned char>(s[(sx + sj) & 0xFF]);
  }
}

// Per-call generator (splitmix64): two loads on two threads share no state.
struct Draw {
  uint64_t state;
  bool Odd() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return ((z ^ (z >> 31)) & 1) != 0;
  }
};

// Seconds since the epoch, as the classic seeding, mixed with a finer clock
// and a counter so that two loads in the same second shuffle differently.
uint64_t TimeSeed() {
  static std::atomic<uint64_t> calls{0};
  uint64_t seed = static_cast<uint64_t>(std::time(nullptr));
  seed ^= static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) << 1;
  seed ^= calls.fetch_add(1, std::memory_order_relaxed) * 0xD1B54A32D192ED03ull;
  return seed;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

constexpr char kSectionMark[] = "<---->";
constexpr size_t kSectionMarkLength = sizeof(kSectionMark) - 1;

// Cuts text into tokens (maximal runs without white space; the text ends at
// its length or at a zero byte) and hands each to sink.Add(section2, token,
// length, front). Tokens longer than an entry can hold are dropped whole.
template <class Sink>
void Tokenize(const char* text, size_t length, uint64_t seed, Sink& sink) {
  if (!text) return;
  const void* nul = std::memchr(text, 0, length);
  if (nul) length = static_cast<size_t>(static_cast<const char*>(nul) - text);
  Draw draw{seed};
  bool section2 = false;
  size_t i = 0;
  while (i < length) {
    while (i < length && IsSpace(text[i])) ++i;
    if (i == length) break;
    size_t start = i;
    while (i < length && !IsSpace(text[i])) ++i;
    size_t tokenLength = i - start;
    if (!section2 && tokenLength == kSectionMarkLength &&
        std::memcmp(text + start, kSectionMark, kSectionMarkLength) == 0) {
      section2 = true;
      continue;
    }
    if (tokenLength > kMaxTokenLength) continue;
    sink.Add(section2, text + start, tokenLength, draw.Odd());
  }
}

struct DirectSink {
  ServerList* a;
  ServerList* b;
  void Add(bool section2, const char* token, size_t length, bool front) {
    ServerList* list = section2 ? b : a;
    if (!list) return;
    ServerListEntry* entry = NewServerEntry(token, length);
    if (front)
      PushFront(list, entry);
    else
      PushBack(list, entry);
  }
};

// Entries gathered outside any lock; front-drawn ones in the order PushFront
// would leave them, back-drawn ones in PushBack order, so splicing both around
// a list equals pushing each token onto it in turn.
struct Pending {
  ServerList front{nullptr, nullptr};
  ServerList back{nullptr, nullptr};
};

struct PendingSink {
  Pending a;
  Pending b;
  void Add(bool section2, const char* token, size_t length, bool front) {
    Pending& p = section2 ? b : a;
    ServerListEntry* entry = NewServerEntry(token, length);
    if (front)
      PushFront(&p.front, entry);
    else
      PushBack(&p.back, entry);
  }
};

void ReleaseEntries(ServerList* list) {
  while (ServerListEntry* entry = TakeFront(list)) FreeServerEntry(entry);
}

// Moves every pending entry onto list (null: the list is gone, entries freed).
void Splice(Pending& p, ServerList* list) {
  if (!list) {
    ReleaseEntries(&p.front);
    ReleaseEntries(&p.back);
    return;
  }
  if (p.front.head) {
    p.front.tail->next = list->head;
    if (list->head)
      list->head->prev = p.front.tail;
    else
      list->tail = p.front.tail;
    list->head = p.front.head;
  }
  if (p.back.head) {
    p.back.head->prev = list->tail;
    if (list->tail)
      list->tail->next = p.back.head;
    else
      list->head = p.back.head;
    list->tail = p.back.tail;
  }
  p.front = ServerList{nullptr, nullptr};
  p.back = ServerList{nullptr, nullptr};
}

// Whichever of a and b is the shared list of its kind is looked up again when
// the entries are appended: an update may have replaced it meanwhile.
int LoadInto(const char* path, ServerList* a, ServerList* b, bool aShared, bool bShared) {
  ProfileFileRead read;
  int result = ReadProfileFile(path, true, &read);
  if (result != kProfileOk) return result;
  if (!a && !b && !aShared && !bShared) {
    delete[] read.data;
    return kProfileOk;
  }
  size_t plainLength = DecipherProfileLine(read.data, read.lineLength);
  PendingSink sink;
  Tokenize(read.data, plainLength, TimeSeed(), sink);
  delete[] read.data;
  if (aShared || bShared) {
    std::lock_guard<std::mutex> lock(ListsLock);
    Splice(sink.a, aShared ? Servers : a);
    Splice(sink.b, bShared ? UpdateUrls : b);
  } else {
    Splice(sink.a, a);
    Splice(sink.b, b);
  }
  return kProfileOk;
}

// Deletes only a regular file: a device or directory named as the profile is
// never removed.
void DeleteProfileFile(const char* path) {
  std::error_code ec;
  if (std::filesystem::is_regular_file(path, ec)) std::filesystem::remove(path, ec);
}

// A profile whose first line is longer than this is refused as unreadable.
constexpr size_t kMaxProfileRead = size_t{1} << 28;
constexpr size_t kFirstRead = size_t{1} << 26;

struct LineScan {
  bool complete = false;  // line 1 and the number after it are in the buffer
  size_t lineEnd = 0;     // index of the line feed, or the data length
  bool haveLineFeed = false;
};

// Line 1 ends at its line feed; the number after it is complete once a
// character follows its digits (or the file ends).
LineScan ScanLine(const char* data, size_t used, bool atEnd) {
  LineScan scan;
  const void* lf = std::memchr(data, '\n', used);
  if (!lf) {
    scan.lineEnd = used;
    scan.complete = atEnd;
    return scan;
  }
  scan.haveLineFeed = true;
  scan.lineEnd = static_cast<size_t>(static_cast<const char*>(lf) - data);
  size_t i = scan.lineEnd + 1;
  while (i < used && IsSpace(data[i])) ++i;
  while (i < used && data[i] >= '0' && data[i] <= '9') ++i;
  scan.complete = atEnd || i < used;
  return scan;
}

// "%u" reading: white space skipped, digits up to the first other character.
// A value beyond 32 bits cannot be a CRC: *valid is cleared.
uint32_t ReadNumber(const char* data, size_t from, size_t used, bool* valid) {
  size_t i = from;
  while (i < used && IsSpace(data[i])) ++i;
  uint64_t value = 0;
  *valid = true;
  for (; i < used && data[i] >= '0' && data[i] <= '9'; ++i) {
    value = value * 10 + static_cast<uint64_t>(data[i] - '0');
    if (value > 0xFFFFFFFFull) {
      *valid = false;
      value = 0xFFFFFFFFull;
    }
  }
  return static_cast<uint32_t>(value);
}

}  // namespace

uint32_t Crc32(const void* bytes, size_t length) {
  const auto* p = static_cast<const unsigned char*>(bytes);
  const auto& t = kCrcTable.entry;
  uint32_t crc = 0xFFFFFFFFu;
  for (; length >= 8; p += 8, length -= 8) {
    uint32_t lo = crc ^ (uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24);
    crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^ t[3][p[4]] ^
          t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
  }
  for (size_t i = 0; i < length; ++i) crc = t[0][(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

unsigned char* Base64Decode(const char* text, size_t length, size_t* decoded) {
  auto* out = new unsigned char[length ? length : 1];
  size_t n = text ? Base64DecodeInto(text, length, out) : 0;
  if (decoded) *decoded = n;
  return out;
}

unsigned char* Rc4Crypt(const char* key, const unsigned char* bytes, size_t length) {
  auto* out = new unsigned char[length + 1];
  if (length) std::memcpy(out, bytes, length);
  out[length] = 0;
  Rc4InPlace(key, out, length);
  return out;
}

void ParseProfileText(const char* text, size_t length, ServerList* a, ServerList* b) {
  ParseProfileTextSeeded(text, length, a, b, TimeSeed());
}

void ParseProfileTextSeeded(const char* text, size_t length, ServerList* a, ServerList* b, uint64_t seed) {
  DirectSink sink{a, b};
  Tokenize(text, length, seed, sink);
}

size_t DecipherProfileLine(char* line, size_t length) {
  auto* bytes = reinterpret_cast<unsigned char*>(line);
  size_t n = Base64DecodeInto(line, length, bytes);
  Rc4InPlace(kProfileKey, bytes, n);
  return n;
}

int ReadProfileFile(const char* path, bool deleteBroken, ProfileFileRead* out) {
  *out = ProfileFileRead{};
  if (!path) return kProfileUnreadable;
  std::unique_lock<std::mutex> lock(ProfileLock);
  // The folder is shared with the machine's other users: a link, a FIFO or a
  // huge file there must neither mislead nor block the reader.
  std::FILE* file = platform::OpenRegularFileForReading(path, kMaxProfileRead);
  if (!file) return kProfileUnreadable;
  long size = -1;
  if (std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
  if (size < 0 || std::fseek(file, 0, SEEK_SET) != 0) {
    std::fclose(file);
    return kProfileUnreadable;
  }
  if (size == 0) {
    std::fclose(file);
    out->deleteFile = true;
    if (deleteBroken) DeleteProfileFile(path);
    return kProfileUnreadable;
  }
  // One buffer, sized by the file with room to see its end, grown only if the
  // file grew meanwhile.
  size_t capacity = static_cast<size_t>(size) < kFirstRead ? static_cast<size_t>(size) + 2 : kFirstRead;
  char* data = new char[capacity];
  size_t used = 0;
  LineScan scan;
  bool failed = false;
  for (;;) {
    if (used + 1 >= capacity) {
      if (capacity >= kMaxProfileRead) {
        failed = true;
        break;
      }
      size_t grown = capacity * 2 > kMaxProfileRead ? kMaxProfileRead : capacity * 2;
      char* bigger = new char[grown];
      std::memcpy(bigger, data, used);
      delete[] data;
      data = bigger;
      capacity = grown;
    }
    size_t got = std::fread(data + used, 1, capacity - 1 - used, file);
    used += got;
    bool atEnd = got == 0 || std::feof(file);
    if (got == 0 && std::ferror(file)) {
      failed = true;
      break;
    }
    scan = ScanLine(data, used, atEnd);
    if (scan.complete) break;
  }
  std::fclose(file);
  if (failed || used == 0) {
    delete[] data;
    return kProfileUnreadable;
  }
  // Text reading: a carriage return before the line feed is dropped.
  size_t lineLength = scan.lineEnd;
  if (scan.haveLineFeed && lineLength > 0 && data[lineLength - 1] == '\r') --lineLength;
  if (lineLength == 0) {
    // Only reachable with a line feed: the first line is empty.
    delete[] data;
    out->deleteFile = true;
    if (deleteBroken) DeleteProfileFile(path);
    return kProfileUnreadable;
  }
  // The lock covers only the file; the CRC is checked after leaving it.
  lock.unlock();
  bool valid = true;
  uint32_t expected = scan.haveLineFeed ? ReadNumber(data, scan.lineEnd + 1, used, &valid) : 0;
  if (!valid || Crc32(data, lineLength) != expected) {
    delete[] data;
    return kProfileBadCrc;
  }
  out->data = data;
  out->lineLength = lineLength;
  return kProfileOk;
}

int LoadProfile(const char* path, ServerList* a, ServerList* b) {
  bool aShared = false;
  bool bShared = false;
  if (a || b) {
    std::lock_guard<std::mutex> lock(ListsLock);
    aShared = a && a == Servers;
    bShared = b && b == UpdateUrls;
  }
  return LoadInto(path, a, b, aShared, bShared);
}

int LoadProfileIntoSharedLists(const char* path) { return LoadInto(path, nullptr, nullptr, true, true); }
