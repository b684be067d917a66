#pragma once
// The tray on Linux: a StatusNotifierItem on the session bus when a watcher is
// there (today's desktops; tray_sni.cpp), else an XEmbed icon in a system tray
// (tray_xembed.cpp). One GTK menu and the icons are shared (tray_gtk.cpp).
#include <gio/gio.h>
#include <gtk/gtk.h>
#include <libdbusmenu-glib/menuitem.h>
#include <libdbusmenu-glib/server.h>

#include "ui/tray.h"

enum class TrayProtocol { None, Sni, XEmbed };

struct GtkTray : TrayBackend {
  GtkTray(const TrayModel& m, TrayHost& h);
  ~GtkTray() override;

  // TrayBackend
  void Add() override;
  void Update() override;
  void Remove() override;
  void PopupMenu(int x, int y) override;
  const char* Protocol() const override;
  bool IconArea(int* x, int* y, int* width, int* height) const override;
  bool Notify(const char* title, const char* text) override;  // desktop_notice.cpp
  bool Docked() const override { return protocol == TrayProtocol::Sni || XEmbedded(); }

  const TrayModel& model;
  TrayHost& host;
  TrayProtocol protocol = TrayProtocol::None;

  GtkWidget* menu = nullptr;
  GtkWidget* items[TrayModel::kItemCount] = {};
  GdkPixbuf* icons[TrayColourCount][4] = {};  // per colour, one per TrayModel::kIconSizes

  // StatusNotifierItem.
  GDBusConnection* bus = nullptr;
  guint objectId = 0;
  guint watchId = 0;
  char itemName[160] = {};
  GCancellable* registering = nullptr;
  TrayColour sniColour = TrayRed;
  char sniTooltip[128] = "Disconnected";  // a copy: the model's text changes in place
  unsigned serial = 0;

  // The same menu over DBusMenu, on the item's connection.
  DbusmenuServer* menuServer = nullptr;
  DbusmenuMenuitem* menuRoot = nullptr;
  DbusmenuMenuitem* menuItems[TrayModel::kItemCount] = {};

  // XEmbed.
  GtkStatusIcon* statusIcon = nullptr;

  void LoadIcons();
  void EnsureMenu();
  void UpdateMenuItems();
  void StartMenuExport();
  void StopMenuExport();
  bool ConnectBus();
  void DisconnectBus();
  bool WatcherPresent();
  void WatchForWatcher();
  bool StartSni();
  void StopSni();
  void RefreshSni();
  bool StartXEmbed();
  void StopXEmbed();
  bool XEmbedded() const;
  void RefreshXEmbed();
  GVariant* Pixmaps(TrayColour colour) const;
};
