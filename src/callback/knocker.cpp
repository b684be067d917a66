#include "callback/knocker.h"

// Filled in by the callback workers.
void Knocker::Run() {}
void OpenInstalled::Run() {}
