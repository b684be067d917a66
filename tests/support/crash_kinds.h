#pragma once
// Every kind of crash the emulator provokes, with the report's type and the
// exception code a type-0 report carries: the same on both systems.

namespace qvtest {

struct CrashKindCase {
  int kind;
  int type;
  const char* code;
};

inline constexpr int kStackOverflowKind = 34;

inline constexpr CrashKindCase kCrashKindCases[] = {
    {0, 0, "c0000005"}, {1, 1, "0"},        {2, 2, "0"},   {3, 3, "0"},
    {4, 4, "0"},        {5, 0, "c0000409"}, {6, 6, "0"},   {7, 7, "0"},
    {8, 8, "0"},        {9, 9, "0"},        {10, 10, "0"}, {11, 11, "0"},
    {12, 12, "0"},      {32, 0, "7b"},      {33, 1, "0"},  {kStackOverflowKind, 0, "c00000fd"},
};

}  // namespace qvtest
