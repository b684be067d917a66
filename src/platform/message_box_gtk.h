#pragma once
// Message boxes as GTK dialogs, for the programs with a window.
namespace platform {

// Installs the GTK dialog as the message-box handler. Call on the thread that
// runs the GTK main loop, after GTK is initialised. Boxes asked for from
// other threads are shown by that thread while the asking thread waits.
void InstallGtkMessageBoxes();

// Call on the same thread once its main loop has ended for good: boxes asked
// for from then on, and those still waiting, go to standard error instead of
// holding their threads for ever.
void EndGtkMessageBoxes();

}  // namespace platform
