"""Turns the outputs of bench/run into bench/results.md: one table of each
figure against its floor, then the raw lines the whole-process programs print."""
import json
import os
import platform
import re
import sys
import time

out, root, runs = sys.argv[1], sys.argv[2] == "yes", sys.argv[3]


def read(name):
    try:
        with open(os.path.join(out, name)) as f:
            return f.read()
    except OSError:
        return ""


def bench(name):
    """Google Benchmark JSON: name -> the run's fields."""
    try:
        data = json.loads(read(name))
    except ValueError:
        return {}
    # Names may carry suffixes such as "/iterations:1/real_time".
    runs = {}
    for b in data.get("benchmarks", []):
        runs[b["name"]] = b
        runs.setdefault(b["name"].split("/iterations:")[0], b)
    return runs


rows = []  # (figure, measured, floor, floor is)


def row(figure, measured, floor, what):
    rows.append((figure, measured, floor, what))


def why_not(err_name, benchmark=None, needs_root=False):
    """Why a figure is missing, for its row: the benchmark's own error, else
    that it needs root, else the last line its program wrote on standard error."""
    if benchmark and benchmark.get("error_occurred"):
        return "not measured: " + benchmark.get("error_message", "the benchmark failed")
    if needs_root and not root:
        return "not measured: needs root"
    lines = [l.strip() for l in read(err_name).splitlines() if l.strip()]
    if lines:
        return "not measured: " + lines[-1].replace("|", "/")
    return "not measured: its program wrote nothing"


profile = bench("profile.json")
load, copy = profile.get("BM_LoadProfile"), profile.get("BM_MemcpySameSize")
if load and copy:
    row("LoadProfile, 100,000-entry data.vpn", "%.2f ms" % load["real_time"],
        "%.3f ms" % copy["real_time"], "memcpy of the same bytes")

management = bench("management.json")
session, scan = management.get("BM_ManagementSession/1024"), management.get("BM_MemchrScan")
if session and scan:
    row("management lines per second (cutter + handler)", "%.1f M" % (session["lines/s"] / 1e6),
        "%.1f M" % (scan["lines/s"] / 1e6), "memchr scan for the line ends")

tunnel = bench("tunnel.json").get("BM_TunnelUpVersusBareClient")
if tunnel and "tunnel_up_ms" in tunnel:
    row("connect: request to tunnel up, through the service", "%.0f ms" % tunnel["tunnel_up_ms"],
        "%.0f ms" % tunnel["bare_client_ms"], "bare OpenVPN client to the same server")
else:
    row("connect: request to tunnel up, through the service", why_not("tunnel.err", tunnel, needs_root=True), "", "")

block = bench("block.json").get("BM_TunnelUpWithAndWithoutTheBlock")
if block and "with_block_ms" in block:
    row("connect with the block outside the tunnel (ratio %.2f)" % block["ratio"], "%.0f ms" % block["with_block_ms"],
        "%.0f ms" % block["without_block_ms"], "the same connect with block_outside_tunnel 0")
else:
    row("connect with the block outside the tunnel", why_not("block.err", block, needs_root=True), "", "")

window = read("window.txt")
m_min = re.search(r"minimal \+ all four\s+first draw\s+([\d.]+) ms\s+Rss\s+(\d+) kB\s+Pss\s+(\d+) kB", window)
m_shown = re.search(r"quorvanta shown\s+first draw\s+([\d.]+) ms\s+Rss\s+(\d+) kB\s+Pss\s+(\d+) kB", window)
m_hidden = re.search(r"quorvanta hidden after shown\s+Rss\s+(\d+) kB\s+Pss\s+(\d+) kB", window)
m_auto = re.search(r"quorvanta started hidden \(-autorun\)\s+Rss\s+(\d+) kB\s+Pss\s+(\d+) kB", window)
if m_shown and m_min:
    row("start-up to the first page state on screen", "%s ms" % m_shown.group(1),
        "%s ms" % m_min.group(1), "minimal WebKitGTK window, same memory settings")
    row("memory shown (PSS, all processes)", "%.1f MB" % (int(m_shown.group(3)) / 1024),
        "%.1f MB" % (int(m_min.group(3)) / 1024), "minimal WebKitGTK window, same memory settings")
    if m_hidden:
        row("memory hidden after shown (PSS)", "%.1f MB" % (int(m_hidden.group(2)) / 1024),
            "%.1f MB" % (int(m_min.group(3)) / 1024), "minimal WebKitGTK window (shown)")
    if m_auto:
        row("memory started hidden, -autorun (PSS)", "%.1f MB" % (int(m_auto.group(2)) / 1024),
            "%.1f MB" % (int(m_min.group(3)) / 1024), "minimal WebKitGTK window (shown)")
m_click = re.search(r"tray click to page on screen: page given up\s+([\d.]+) ms", window)
if m_click:
    row("tray click to the page on screen (hidden window)", "%s ms" % m_click.group(1), "300 ms", "goal")
if not (m_shown and m_min):
    row("start-up, memory and tray click of the window", why_not("window.err"), "", "")

wakeups = read("wakeups.md")
woken = 0
for line in wakeups.splitlines():
    m = re.match(r"\| (.+?) \| ([\d.-]+) \|", line)
    if m and m.group(1) != "process":
        woken += 1
        row("wake-ups per second, connected and idle: " + m.group(1), m.group(2),
            "0.33" if m.group(1).startswith("quorvanta (") else "",
            "the 3-second traffic counters" if m.group(1).startswith("quorvanta (") else "")
if not woken:
    row("wake-ups per second, connected and idle", why_not("wakeups.err", needs_root=True), "", "")

crash = read("crash.txt")
m_fault = re.search(r"fault to exit.*?median ([\d.]+) ms", crash)
m_inst = re.findall(r"install flags (0x[0-9A-F]+): median ([\d.]+) ms, resident memory \+(-?\d+) KiB", crash)
if m_fault:
    row("crash: fault to exit with the report handed over", "%s ms" % m_fault.group(1), "", "")
for flags, ms, kib in m_inst:
    row("crash: install cost, flags %s" % flags, "%s ms, +%s KiB" % (ms, kib), "", "")
if not m_fault and not m_inst:
    row("crash reporting", why_not("crash.err"), "", "")

print("# Benchmark results\n")
cpu = ""
try:
    cpu = re.search(r"model name\s*:\s*(.*)", open("/proc/cpuinfo").read()).group(1)
except (OSError, AttributeError):
    pass
print("Measured by `bench/run` on %s, %s, %d cores (%s), Release build; whole-process figures "
      "are medians of %s runs.\n" % (time.strftime("%Y-%m-%d"), platform.platform(), os.cpu_count(),
                                      cpu, runs))
print("| figure | Quorvanta | floor | the floor is |")
print("|---|---|---|---|")
for r in rows:
    print("| %s | %s | %s | %s |" % r)
for title, name in (("Window figures", "window.txt"), ("Crash reporting", "crash.txt")):
    # Only the figures: the sender's listing of unsent reports is not one.
    text = "\n".join(l for l in read(name).splitlines() if not l.startswith("/")).strip()
    if text:
        print("\n## %s\n\n```\n%s\n```" % (title, text))
