#pragma once
// The window system for the whole process: opened once at start-up.

// Opens the display and installs the GTK message boxes; false when no
// display can be opened (the program then runs without a window).
bool InitWindowing(int* argc, char*** argv);
