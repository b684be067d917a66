// Whole-process figures of the front end's window against a minimal GTK +
// WebKitGTK window, on a private Xvfb display without a window manager:
//   - time from starting the process to the first page state on the screen
//     (the status panel's colour seen in the X server's pixels), median of N;
//   - resident and proportional memory (smaps_rollup Rss, Pss) of the process
//     and all its descendants (the web and network processes), median of N.
// Usage: ui_window_figures <quorvanta> <quorvanta-reg> <minimal_webview> [runs]
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

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

bool ProbeIsPanel() {
  GdkPixbuf* pixel = gdk_pixbuf_get_from_window(gdk_get_default_root_window(), kProbeX, kProbeY, 1, 1);
  if (!pixel) return false;
  const guchar* p = gdk_pixbuf_get_pixels(pixel);
  bool match = p[0] == 0xEB && p[1] == 0x70 && p[2] == 0x60;
  g_object_unref(pixel);
  return match;
}

// The previous run's window must be gone from the screen before the next starts.
void WaitScreenCleared() {
  for (int i = 0; i < 500 && ProbeIsPanel(); ++i) g_usleep(10000);
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

// Rss and Pss in kB of a process tree.
void Memory(pid_t root, long* rss, long* pss, int* count) {
  *rss = *pss = 0;
  std::vector<pid_t> pids = Descendants(root);
  *count = static_cast<int>(pids.size());
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
    Memory(pid, &r, &p, &processes);
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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s <quorvanta> <quorvanta-reg> <minimal_webview> [runs]\n", argv[0]);
    return 2;
  }
  const std::string program = argv[1], reg = argv[2], minimal = argv[3];
  const int runs = argc > 4 ? std::atoi(argv[4]) : 5;

  int fds[2];
  if (pipe(fds) != 0) return 1;
  std::string screen = std::to_string(kScreenWidth) + "x" + std::to_string(kScreenHeight) + "x24";
  pid_t xvfb = Spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", screen, "-nolisten", "tcp"}, {},
                     false);
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
  if (!gtk_init_check(&argc, &argv)) return 1;

  char dir[] = "/tmp/qv-figures-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  const std::string base = dir;
  const std::vector<std::string> env = {"QUORVANTA_REGISTRY=" + base + "/registry.db", "XDG_RUNTIME_DIR=" + base,
                                        "QUORVANTA_PIPE=" + base + "/no-service", "QUORVANTA_MESSAGES=stderr",
                                        "QUORVANTA_OBJECT_NAMESPACE=-figures" + std::to_string(getpid())};
  for (auto args : std::vector<std::vector<std::string>>{
           {reg, "set", "HKLM\\SOFTWARE\\Quorvanta", "@", "REG_SZ", base},
           {reg, "set", "HKLM\\SOFTWARE\\Microsoft\\Cryptography", "MachineGuid", "REG_SZ",
            "3d1219c7-c4c5-404a-aa1f-6d2a48adfda4"}}) {
    pid_t pid = Spawn(args, env, true);
    int status;
    waitpid(pid, &status, 0);
  }

  std::printf("median of %d runs, screen %dx%d, no window manager\n", runs, kScreenWidth, kScreenHeight);
  Print("minimal window, WebKit defaults", Measure({minimal}, {}, runs));
  Print("minimal + hardware accel. never", Measure({minimal, "--hw-never"}, {}, runs));
  Print("minimal + no page cache", Measure({minimal, "--no-page-cache"}, {}, runs));
  Print("minimal + document-viewer cache", Measure({minimal, "--viewer-cache"}, {}, runs));
  Print("minimal + ephemeral context", Measure({minimal, "--ephemeral"}, {}, runs));
  Print("minimal + all four", Measure({minimal, "--all"}, {}, runs));
  Print("quorvanta (front end)", Measure({program}, env, runs));

  kill(xvfb, SIGTERM);
  int status;
  waitpid(xvfb, &status, 0);
  std::string cleanup = "rm -rf '" + base + "'";
  return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
