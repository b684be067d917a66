#pragma once
// Message boxes as GTK dialogs, for the programs with a window.
namespace platform {

// Installs the GTK dialog as the message-box handler. Call on the thread that
// runs the GTK main loop, after GTK is initialised. Boxes asked for from
// other threads are shown by that thread while the asking thread waits.
void InstallGtkMessageBoxes();

}  // namespace platform
