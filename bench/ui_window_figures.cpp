// Whole-process figures of the front end's window against a minimal GTK +
// WebKitGTK window, on a private Xvfb display without a window manager:
//   - time from starting the process to the first page state on the screen
//     (the status panel's colour seen in the X server's pixels), median of N;
//   - resident and proportional memory (smaps_rollup Rss, Pss) of the process
//     and all its descendants (the web and network processes), median of N;
//   - the front end shown, hidden after being shown, and started hidden
//     ("-autorun"), each once its hidden window has given up its page;
//   - the time from a tray click (the StatusNotifierItem's Activate, sent by
//     a watcher played here on a private session bus) to the page's state on
//     the screen: with the page given up, and within the delay that keeps it.
// Pss counts a shared page in part for every process that maps it; other
// WebKit programs running meanwhile lower the figure, so samples taken while
// none ran are preferred and the count of those is printed.
// Usage: ui_window_figures <quorvanta> <quorvanta-reg> <minimal_webview> [runs] [front-end only: -f]
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gdk/gdkx.h>
#include <gio/gio.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr int kScreenWidth = 1280, kScreenHeight = 800;
// A point inside the status panel of the page (and anywhere on the minimal page).
constexpr int kProbeX = kScreenWidth - 400 + 300, kProbeY = kScreenHeight - 300 + 150;

pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv, bool quiet) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.push_back(*e);
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (quiet) {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// A hidden window gives its page up after this long (the front end's delay).
constexpr int kPageDropDelayMs = 5000;
constexpr int kSettleUs = 1500000;

bool ProbeIsPanel() {
  GdkPixbuf* pixel = gdk_pixbuf_get_from_window(gdk_get_default_root_window(), kProbeX, kProbeY, 1, 1);
  if (!pixel) return false;
  const guchar* p = gdk_pixbuf_get_pixels(pixel);
  bool match = p[0] == 0xEB && p[1] == 0x70 && p[2] == 0x60;
  g_object_unref(pixel);
  return match;
}

// The previous run's window must be gone from the screen before the next starts.
void Iterate() {
  while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);
}

void Sleep(int us) {
  auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(us);
  while (std::chrono::steady_clock::now() < end) {
    Iterate();
    g_usleep(5000);
  }
}

void WaitScreenCleared() {
  for (int i = 0; i < 500 && ProbeIsPanel(); ++i) g_usleep(10000);
}

// Milliseconds from start until the panel is on the screen (-1: not within 30 s).
double UntilPanel(std::chrono::steady_clock::time_point start) {
  while (std::chrono::steady_clock::now() - start < std::chrono::seconds(30)) {
    Iterate();
    if (ProbeIsPanel())
      return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    g_usleep(1000);
  }
  return -1;
}

std::vector<pid_t> Descendants(pid_t root) {
  std::map<pid_t, pid_t> parent;
  DIR* proc = opendir("/proc");
  while (dirent* entry = readdir(proc)) {
    pid_t pid = std::atoi(entry->d_name);
    if (pid <= 0) continue;
    std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
    std::string line;
    std::getline(stat, line);
    size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    char state;
    pid_t ppid;
    rest >> state >> ppid;
    parent[pid] = ppid;
  }
  closedir(proc);
  std::vector<pid_t> out = {root};
  for (bool grew = true; grew;) {
    grew = false;
    for (auto [pid, ppid] : parent) {
      if (std::find(out.begin(), out.end(), ppid) != out.end() && std::find(out.begin(), out.end(), pid) == out.end()) {
        out.push_back(pid);
        grew = true;
      }
    }
  }
  return out;
}

// Processes outside the tree that map WebKit, sharing its pages.
int ForeignWebKit(const std::vector<pid_t>& tree) {
  int count = 0;
  DIR* proc = opendir("/proc");
  while (dirent* entry = readdir(proc)) {
    pid_t pid = std::atoi(entry->d_name);
    if (pid <= 0 || std::find(tree.begin(), tree.end(), pid) != tree.end()) continue;
    std::ifstream maps("/proc/" + std::string(entry->d_name) + "/maps");
    std::string line;
    while (std::getline(maps, line)) {
      if (line.find("libwebkit2gtk") != std::string::npos) {
        ++count;
        break;
      }
    }
  }
  closedir(proc);
  return count;
}

// Rss and Pss in kB of a process tree; false when other WebKit programs shared its pages.
bool Memory(pid_t root, long* rss, long* pss, int* count) {
  *rss = *pss = 0;
  std::vector<pid_t> pids = Descendants(root);
  *count = static_cast<int>(pids.size());
  bool alone = ForeignWebKit(pids) == 0;
  for (pid_t pid : pids) {
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string key;
    long value;
    std::string unit;
    std::string line;
    while (std::getline(rollup, line)) {
      std::istringstream in(line);
      in >> key >> value >> unit;
      if (key == "Rss:") *rss += value;
      if (key == "Pss:") *pss += value;
    }
  }
  return alone;
}

void Stop(pid_t pid) {
  std::vector<pid_t> tree = Descendants(pid);
  for (pid_t p : tree) kill(p, SIGTERM);
  int status;
  waitpid(pid, &status, 0);
  for (int i = 0; i < 100; ++i) {  // the web processes end with their parent
    bool any = false;
    for (size_t k = 1; k < tree.size(); ++k) any = any || kill(tree[k], 0) == 0;
    if (!any) break;
    g_usleep(20000);
  }
}

struct Figures {
  double ms;
  long rss, pss;
  int processes;
};

template <typename T>
T Median(std::vector<T> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

Figures Measure(const std::vector<std::string>& argv, const std::vector<std::string>& env, int runs) {
  std::vector<double> times;
  std::vector<long> rss, pss;
  int processes = 0;
  for (int run = 0; run < runs; ++run) {
    WaitScreenCleared();
    auto start = std::chrono::steady_clock::now();
    pid_t pid = Spawn(argv, env, true);
    bool seen = false;
    while (!seen && std::chrono::steady_clock::now() - start < std::chrono::seconds(30)) {
      seen = ProbeIsPanel();
      if (!seen) g_usleep(2000);
    }
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    times.push_back(seen ? ms : -1);
    g_usleep(1500000);  // settled
    long r, p;
    (void)Memory(pid, &r, &p, &processes);
    rss.push_back(r);
    pss.push_back(p);
    Stop(pid);
  }
  return {Median(times), Median(rss), Median(pss), processes};
}

void Print(const char* name, const Figures& f) {
  std::printf("%-34s first draw %7.1f ms   Rss %7ld kB   Pss %7ld kB   processes %d\n", name, f.ms, f.rss, f.pss,
              f.processes);
  std::fflush(stdout);
}

// A panel's StatusNotifierWatcher: takes the front end's tray item and presses it.
constexpr char kWatcherXml[] =
    "<node><interface name='org.kde.StatusNotifierWatcher'>"
    " <method name='RegisterStatusNotifierItem'><arg name='service' type='s' direction='in'/></method>"
    " <method name='RegisterStatusNotifierHost'><arg name='service' type='s' direction='in'/></method>"
    " <property name='RegisteredStatusNotifierItems' type='as' access='read'/>"
    " <property name='IsStatusNotifierHostRegistered' type='b' access='read'/>"
    " <property name='ProtocolVersion' type='i' access='read'/>"
    "</interface></node>";

struct Watcher {
  GDBusConnection* bus = nullptr;
  std::string item;  // the registered item's bus name

  bool Start(const std::string& address) {
    bus = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    if (!bus) return false;
    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kWatcherXml, nullptr);
    static const GDBusInterfaceVTable vtable = {
        +[](GDBusConnection*, const gchar* sender, const gchar*, const gchar*, const gchar* method,
            GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data) {
          Watcher* self = static_cast<Watcher*>(data);
          if (std::strcmp(method, "RegisterStatusNotifierItem") == 0) {
            const gchar* service = nullptr;
            g_variant_get(parameters, "(&s)", &service);
            self->item = service[0] == '/' ? sender : service;
          }
          g_dbus_method_invocation_return_value(invocation, nullptr);
        },
        +[](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name, GError**,
            gpointer) -> GVariant* {
          if (std::strcmp(name, "IsStatusNotifierHostRegistered") == 0) return g_variant_new_boolean(TRUE);
          if (std::strcmp(name, "ProtocolVersion") == 0) return g_variant_new_int32(0);
          return g_variant_new_strv(nullptr, 0);
        },
        nullptr,
        {}};
    g_dbus_connection_register_object(bus, "/StatusNotifierWatcher", node->interfaces[0], &vtable, this, nullptr,
                                      nullptr);
    g_dbus_node_info_unref(node);
    GVariant* reply =
        g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                    "RequestName", g_variant_new("(su)", "org.kde.StatusNotifierWatcher", 4u), nullptr,
                                    G_DBUS_CALL_FLAGS_NONE, 3000, nullptr, nullptr);
    if (!reply) return false;
    g_variant_unref(reply);
    return true;
  }

  bool WaitItem() {
    for (int i = 0; i < 3000 && item.empty(); ++i) Sleep(10000);
    return !item.empty();
  }

  // A left click on the icon; the answer is not waited for.
  void Press() {
    g_dbus_connection_call(bus, item.c_str(), "/StatusNotifierItem", "org.kde.StatusNotifierItem", "Activate",
                           g_variant_new("(ii)", 1200, 10), nullptr, G_DBUS_CALL_FLAGS_NONE, 3000, nullptr, nullptr,
                           nullptr);
  }
};

// The window the window manager would close: the page's window, found by its title.
Window FindWindow(::Display* x, ::Window from, const char* title) {
  char* name = nullptr;
  if (XFetchName(x, from, &name) && name) {
    bool match = std::strcmp(name, title) == 0;
    XFree(name);
    if (match) return from;
  }
  ::Window root, parent, *children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(x, from, &root, &parent, &children, &count)) return 0;
  ::Window found = 0;
  for (unsigned i = 0; i < count && !found; ++i) found = FindWindow(x, children[i], title);
  if (children) XFree(children);
  return found;
}

// Asks the window to close, as a window manager's close button does: it hides.
bool CloseWindow() {
  ::Display* x = GDK_DISPLAY_XDISPLAY(gdk_display_get_default());
  ::Window window = FindWindow(x, DefaultRootWindow(x), "html test");
  if (!window) return false;
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(x, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(x, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(x, window, False, NoEventMask, &event);
  XFlush(x);
  return true;
}

// Medians of samples, the memory ones taken from the samples no other WebKit program shared if any.
struct Samples {
  std::vector<long> all, alone;
  void Add(long value, bool isAlone) {
    all.push_back(value);
    if (isAlone) alone.push_back(value);
  }
  long Median() const {
    const std::vector<long>& v = alone.empty() ? all : alone;
    if (v.empty()) return -1;
    std::vector<long> sorted = v;
    std::sort(sorted.begin(), sorted.end());
    return sorted[sorted.size() / 2];
  }
};

struct FrontEndFigures {
  std::vector<double> firstDraw, displayDropped, displayKept, displayAutorun;
  Samples shownPss, shownRss, hiddenPss, hiddenRss, autorunPss, autorunRss;
  int shownProcesses = 0, hiddenProcesses = 0, autorunProcesses = 0;
};

double MedianMs(std::vector<double> v) {
  if (v.empty()) return -1;
  return Median(v);
}

void MeasureFrontEnd(const std::string& program, const std::vector<std::string>& env, Watcher& watcher, int runs,
                     FrontEndFigures* f) {
  for (int run = 0; run < runs; ++run) {
    // Started shown: first draw and memory.
    WaitScreenCleared();
    watcher.item.clear();
    auto start = std::chrono::steady_clock::now();
    pid_t pid = Spawn({program}, env, true);
    f->firstDraw.push_back(UntilPanel(start));
    Sleep(kSettleUs);
    long rss, pss;
    bool alone = Memory(pid, &rss, &pss, &f->shownProcesses);
    f->shownPss.Add(pss, alone);
    f->shownRss.Add(rss, alone);
    // Hidden, once the page has been given up; then a tray click.
    bool trayed = watcher.WaitItem();
    if (CloseWindow()) {
      WaitScreenCleared();
      Sleep(kPageDropDelayMs * 1000 + kSettleUs);
      alone = Memory(pid, &rss, &pss, &f->hiddenProcesses);
      f->hiddenPss.Add(pss, alone);
      f->hiddenRss.Add(rss, alone);
      if (trayed) {
        start = std::chrono::steady_clock::now();
        watcher.Press();
        f->displayDropped.push_back(UntilPanel(start));
        // Hidden and shown again within the delay: the page is still there.
        Sleep(500000);
        if (CloseWindow()) {
          WaitScreenCleared();
          Sleep(500000);
          start = std::chrono::steady_clock::now();
          watcher.Press();
          f->displayKept.push_back(UntilPanel(start));
        }
      }
    }
    Stop(pid);

    // Started hidden.
    WaitScreenCleared();
    watcher.item.clear();
    std::vector<std::string> argv = {program, "-autorun"};
    pid = Spawn(argv, env, true);
    trayed = watcher.WaitItem();
    Sleep(kPageDropDelayMs * 1000 + 2 * kSettleUs);
    alone = Memory(pid, &rss, &pss, &f->autorunProcesses);
    f->autorunPss.Add(pss, alone);
    f->autorunRss.Add(rss, alone);
    if (trayed) {
      start = std::chrono::steady_clock::now();
      watcher.Press();
      f->displayAutorun.push_back(UntilPanel(start));
    }
    Stop(pid);
  }
}

void PrintFrontEnd(const FrontEndFigures& f) {
  std::printf(
      "quorvanta shown                    first draw %7.1f ms   Rss %7ld kB   Pss %7ld kB   processes %d"
      "   (%zu of %zu samples alone)\n",
      MedianMs(f.firstDraw), f.shownRss.Median(), f.shownPss.Median(), f.shownProcesses, f.shownPss.alone.size(),
      f.shownPss.all.size());
  std::printf(
      "quorvanta hidden after shown                             Rss %7ld kB   Pss %7ld kB   processes %d"
      "   (%zu of %zu samples alone)\n",
      f.hiddenRss.Median(), f.hiddenPss.Median(), f.hiddenProcesses, f.hiddenPss.alone.size(), f.hiddenPss.all.size());
  std::printf(
      "quorvanta started hidden (-autorun)                      Rss %7ld kB   Pss %7ld kB   processes %d"
      "   (%zu of %zu samples alone)\n",
      f.autorunRss.Median(), f.autorunPss.Median(), f.autorunProcesses, f.autorunPss.alone.size(),
      f.autorunPss.all.size());
  auto range = [](const std::vector<double>& v) {
    if (v.empty()) return std::string("none");
    auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    char text[64];
    std::snprintf(text, sizeof text, "%.1f..%.1f", *lo, *hi);
    return std::string(text);
  };
  std::printf(
      "tray click to page on screen: page given up %7.1f ms (%s), page kept %7.1f ms (%s),"
      " after -autorun %7.1f ms (%s)\n",
      MedianMs(f.displayDropped), range(f.displayDropped).c_str(), MedianMs(f.displayKept),
      range(f.displayKept).c_str(), MedianMs(f.displayAutorun), range(f.displayAutorun).c_str());
  std::fflush(stdout);
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s <quorvanta> <quorvanta-reg> <minimal_webview> [runs] [-f]\n", argv[0]);
    return 2;
  }
  const std::string program = argv[1], reg = argv[2], minimal = argv[3];
  const int runs = argc > 4 ? std::atoi(argv[4]) : 5;
  const bool frontEndOnly = argc > 5 && std::strcmp(argv[5], "-f") == 0;

  int fds[2];
  if (pipe(fds) != 0) return 1;
  std::string screen = std::to_string(kScreenWidth) + "x" + std::to_string(kScreenHeight) + "x24";
  pid_t xvfb =
      Spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", screen, "-nolisten", "tcp"}, {}, false);
  close(fds[1]);
  char number[16] = {0};
  for (size_t got = 0; got < sizeof number - 1; ++got) {
    if (read(fds[0], number + got, 1) != 1 || number[got] == '\n') {
      number[got] = '\0';
      break;
    }
  }
  close(fds[0]);
  setenv("DISPLAY", (std::string(":") + number).c_str(), 1);
  setenv("GDK_BACKEND", "x11", 1);
  setenv("NO_AT_BRIDGE", "1", 1);
  if (!gtk_init_check(&argc, &argv)) return 1;

  // A private session bus for the tray item and the watcher that presses it.
  if (pipe(fds) != 0) return 1;
  pid_t bus = Spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=unix:tmpdir=/tmp",
                     "--print-address=" + std::to_string(fds[1])},
                    {}, false);
  close(fds[1]);
  std::string address;
  char c;
  while (read(fds[0], &c, 1) == 1 && c != '\n') address += c;
  close(fds[0]);
  Watcher watcher;
  if (address.empty() || !watcher.Start(address)) {
    std::fprintf(stderr, "no session bus: the tray cannot be pressed\n");
    return 1;
  }

  char dir[] = "/tmp/qv-figures-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  const std::string base = dir;
  const std::vector<std::string> env = {"QUORVANTA_REGISTRY=" + base + "/registry.db",
                                        "XDG_RUNTIME_DIR=" + base,
                                        "QUORVANTA_PIPE=" + base + "/no-service",
                                        "QUORVANTA_MESSAGES=stderr",
                                        "QUORVANTA_OBJECT_NAMESPACE=-figures" + std::to_string(getpid()),
                                        "DBUS_SESSION_BUS_ADDRESS=" + address,
                                        "NO_AT_BRIDGE=1"};
  for (auto args :
       std::vector<std::vector<std::string>>{{reg, "set", "HKLM\\SOFTWARE\\Quorvanta", "@", "REG_SZ", base},
                                             {reg, "set", "HKLM\\SOFTWARE\\Microsoft\\Cryptography", "MachineGuid",
                                              "REG_SZ", "3d1219c7-c4c5-404a-aa1f-6d2a48adfda4"}}) {
    pid_t pid = Spawn(args, env, true);
    int status;
    waitpid(pid, &status, 0);
  }

  std::printf("median of %d runs, screen %dx%d, no window manager\n", runs, kScreenWidth, kScreenHeight);
  if (!frontEndOnly) {
    Print("minimal window, WebKit defaults", Measure({minimal}, {}, runs));
    Print("minimal + hardware accel. never", Measure({minimal, "--hw-never"}, {}, runs));
    Print("minimal + no page cache", Measure({minimal, "--no-page-cache"}, {}, runs));
    Print("minimal + document-viewer cache", Measure({minimal, "--viewer-cache"}, {}, runs));
    Print("minimal + ephemeral context", Measure({minimal, "--ephemeral"}, {}, runs));
  }
  Print("minimal + all four", Measure({minimal, "--all"}, {}, runs));
  FrontEndFigures figures;
  MeasureFrontEnd(program, env, watcher, runs, &figures);
  PrintFrontEnd(figures);

  kill(bus, SIGTERM);
  kill(xvfb, SIGTERM);
  int status;
  waitpid(bus, &status, 0);
  waitpid(xvfb, &status, 0);
  std::string cleanup = "rm -rf '" + base + "'";
  return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
