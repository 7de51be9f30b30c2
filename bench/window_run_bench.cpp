// A run as the operator starts it, through the real main window (offscreen),
// against the loopback peers, beside the same dialogues without the window:
//
//   window   Enter in the target box with SMTP, POP, FTP and HTTP ticked, until
//            the run is over and its end line is in velkor1.log;
//   core     the same four sections run by DiagRunner on a list in memory
//            (the run log written as in the program), no event loop;
//   bare     a plain blocking client doing the same four dialogues (connect,
//            greeting to its final line, the same commands, each reply to its
//            final line, close), no log, no window;
//   six      a click on Diag with all six checks ticked (PING and NetBIOS
//            too), through the window; only when an smbd port is given.
//
// Rounds interleave the figures, so all of them see the same peers in the
// same minute. Prints each median and the ratios window/bare, core/bare.
// Notices and the run history are wired as in the program (InstallDiagRunner).
//
//   QT_QPA_PLATFORM=offscreen build/bench/window_run_bench PORTS_FILE [SMB_PORT|-] [ROUNDS]
//   build/bench/window_run_bench --xvfb PORTS_FILE [SMB_PORT|-] [ROUNDS]
//
// With --xvfb the window is shown on an X server as a desktop has one: the
// bench starts Xvfb on a display of its own (and ends it), and the window
// figure is the run from its first line in velkor1.log to its end line, both
// seen on disk. It also prints how long each result line takes to be on
// screen: from its item's arrival (its log line is written just before) to
// the end of the window's paint that shows it, with XSync returned.
//
// PORTS_FILE holds NAME=port lines (tests/peers/tcp-peers-start.sh writes one).
// PING needs root (raw socket) or the ICMP helper beside the program.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPushButton>
#include <QWindow>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "app/appstate.h"
#include "diag/diagrun.h"
#include "diag/headlesswindow.h"
#include "diag/targetlist.h"
#include "net/smbshares.h"
#include "ui/diagwiring.h"
#include "ui/frmvelkor.h"
#include "ui/uihooks.h"
#include "util/codepage.h"
#include "util/hooks.h"
#include "util/sigpipe.h"

// Xlib's own header clashes with Qt's names; Qt declares Display itself.
extern "C" int XSync(Display*, int);

namespace {

double NowMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "window_run_bench: %s\n", what);
  std::exit(1);
}

std::map<std::string, std::string> ReadPorts(const char* path) {
  std::map<std::string, std::string> ports;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) ports[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return ports;
}

bool Failed(const std::vector<std::u16string>& items) {
  for (const auto& i : items)
    if (i.find(u"【異常】") != std::u16string::npos || i.find(u"［応答なし］") != std::u16string::npos) return true;
  return false;
}

// ---- the bare client ---------------------------------------------------------

// How a reply ends: at a final numbered line ("NNN " after any "NNN-"), at
// the first line, or at the headers' blank line (or the close).
enum class End { Numbered, Line, Headers };

bool Complete(const std::string& data, End end) {
  if (end == End::Headers) return data.find("\r\n\r\n") != std::string::npos;
  if (end == End::Line) return data.find('\n') != std::string::npos;
  size_t pos = 0;
  while (true) {
    const size_t lf = data.find('\n', pos);
    if (lf == std::string::npos) return false;
    if (lf - pos >= 4 && data[pos + 3] == ' ') return true;
    if (lf - pos < 4 || data[pos + 3] != '-') return true;  // a line that announces nothing more
    pos = lf + 1;
  }
}

bool ReadReply(int fd, End end) {
  std::string data;
  char buf[4096];
  while (!Complete(data, end)) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return end == End::Headers && n == 0 && !data.empty();
    data.append(buf, static_cast<size_t>(n));
  }
  return true;
}

// One dialogue: the greeting (unless none), then each command and its reply.
bool Dialogue(int port, End greeting, bool greeted, const std::vector<std::string>& commands, End replies) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  if (ok && greeted) ok = ReadReply(fd, greeting);
  for (const std::string& c : commands) {
    if (!ok) break;
    ok = ::send(fd, c.data(), c.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(c.size()) && ReadReply(fd, replies);
  }
  ::close(fd);
  return ok;
}

struct Ports {
  int smtp, pop, ftp, http;
};

bool BarePass(const Ports& p) {
  return Dialogue(p.smtp, End::Numbered, true, {"EHLO 127.0.0.1\r\n", "QUIT\r\n"}, End::Numbered) &&
         Dialogue(p.pop, End::Line, true, {"USER velkorbench\r\n", "QUIT\r\n"}, End::Line) &&
         Dialogue(p.ftp, End::Numbered, true, {"USER velkorbench\r\n", "QUIT\r\n"}, End::Numbered) &&
         Dialogue(p.http, End::Headers, false, {"GET / HTTP/1.0\r\n\r\n"}, End::Headers);
}

// ---- the window ------------------------------------------------------------------

void Key(QWidget* to, int key, const QString& text) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
  QApplication::sendEvent(to, &press);
  QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
  QApplication::sendEvent(to, &release);
}

void Click(QWidget* button) {
  const QPointF at = QRectF(button->rect()).center();
  const QPointF global = button->mapToGlobal(at);
  QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(button, &press);
  QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(button, &release);
}

// ---- the X server -----------------------------------------------------------------

// Xvfb on the first free display (it names it through -displayfd); its pid.
pid_t StartXvfb() {
  int fds[2];
  if (pipe(fds) != 0) Fail("no pipe for Xvfb");
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    const std::string fd = std::to_string(fds[1]);
    execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0", "1280x1024x24",
           static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  std::string number;
  char c;
  while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
  close(fds[0]);
  if (number.empty()) Fail("Xvfb did not start (Debian: xvfb)");
  setenv("DISPLAY", (":" + number).c_str(), 1);
  setenv("QT_QPA_PLATFORM", "xcb", 1);
  return pid;
}

// Sees the end of every paint of the main window: the moment the result
// list's new items are on screen, once XSync has returned. An update request
// that paints nothing counts for nothing.
class BenchApp : public QApplication {
 public:
  using QApplication::QApplication;
  std::function<void(bool listPainted)> afterUpdate;
  QObject* listViewport = nullptr;
  double paintMs = 0;  // time in the window's paints (without the bench's XSync)
  QObject* window = nullptr;  // the main window's widget and its QWindow both get update requests
  QObject* windowHandle = nullptr;
  bool painted = false, listPainted = false;
  bool notify(QObject* receiver, QEvent* e) override {
    const bool update =
        window && (receiver == window || receiver == windowHandle) && e->type() == QEvent::UpdateRequest;
    if (e->type() == QEvent::Paint) {
      painted = true;
      if (receiver == listViewport) listPainted = true;
    }
    if (!update) return QApplication::notify(receiver, e);
    painted = listPainted = false;
    const auto start = std::chrono::steady_clock::now();
    const bool r = QApplication::notify(receiver, e);
    if (!painted) return r;
    paintMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (afterUpdate) afterUpdate(listPainted);
    return r;
  }
};

}  // namespace

int main(int argc, char** argv) {
  IgnoreSigPipe();
  const bool xvfb = argc > 1 && std::string(argv[1]) == "--xvfb";
  if (xvfb) --argc, ++argv;
  if (argc < 2) {
    std::fprintf(stderr, "usage: window_run_bench [--xvfb] PORTS_FILE [SMB_PORT|-] [ROUNDS]\n");
    return 2;
  }
  std::map<std::string, std::string> env = ReadPorts(argv[1]);
  const Ports ports{std::atoi(env["SMTP_PORT"].c_str()), std::atoi(env["POP_PORT"].c_str()),
                    std::atoi(env["FTP_PORT"].c_str()), std::atoi(env["HTTP_PORT"].c_str())};
  if (!ports.smtp || !ports.pop || !ports.ftp || !ports.http) Fail("PORTS_FILE lacks a port; are the peers running?");
  const int smbPort = argc > 2 && std::string(argv[2]) != "-" ? std::atoi(argv[2]) : 0;
  const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 50;
  const pid_t xserver = xvfb ? StartXvfb() : 0;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");

  char dir[] = "/tmp/velkor-window-bench-XXXXXX";
  if (!mkdtemp(dir)) Fail("no temporary directory");
  SetProgramLocation(FromUtf8(dir), u"velkor");
  TargetListFilePath = FromUtf8(dir) + u"/VKRTARGET.INI";
  const std::string logPath = std::string(dir) + "/velkor1.log";
  SystemSettingsRecord settings;
  settings.UserName = u"velkorbench";
  settings.Password = u"unused";
  SetSettingsLoader([&settings] { return SystemSettings = settings, true; });
  SystemSettings = settings;
  if (smbPort) SetSmbPort(static_cast<uint16_t>(smbPort));
  SetMessageBoxHook([](const std::u16string& text, const std::u16string&) {
    std::fprintf(stderr, "message: %s\n", ToUtf8(text).c_str());
  });

  BenchApp app(argc, argv);
  InstallUiHooks();
  FrmVelkor w;
  InstallDiagRunner(w);
  w.show();
  QApplication::processEvents();
  Display* display = nullptr;
  if (xvfb) {
    auto* x11 = app.nativeInterface<QNativeInterface::QX11Application>();
    display = x11 ? x11->display() : nullptr;
    if (!display) Fail("the window is not on the X server");
    app.window = &w;
    app.windowHandle = w.windowHandle();
  }

  // The entry is typed once, as the operator types it; each round is one Enter.
  QLineEdit* edit = w.findChild<QComboBox*>(QStringLiteral("CmbHosts"))->lineEdit();
  edit->setFocus();
  const std::string entry = "127.0.0.1:" + std::to_string(ports.smtp) + ":" + std::to_string(ports.pop) + ":" +
                            std::to_string(ports.ftp) + ":" + std::to_string(ports.http);
  for (char c : entry) Key(edit, 0, QString(QChar(c)));
  QApplication::processEvents();
  QCheckBox* ping = w.findChild<QCheckBox*>(QStringLiteral("ChkService0"));
  QCheckBox* shares = w.findChild<QCheckBox*>(QStringLiteral("ChkService1"));
  QPushButton* diag = w.findChild<QPushButton*>(QStringLiteral("CmdDiag"));

  // The end line's item reaches the list right after its log line is on
  // disk: the moment the run's end line is in velkor1.log, to a few
  // microseconds.
  QListWidget* list = w.findChild<QListWidget*>(QStringLiteral("LstResult"));
  double endLineAt = 0, firstLineAt = 0;
  bool firstOnDisk = false;
  // Each item's arrival, and when a paint showed it (0 until then).
  std::vector<double> arrived, shown;
  QObject::connect(list->model(), &QAbstractItemModel::rowsInserted, list, [&](const QModelIndex&, int first, int last) {
    const double now = NowMs();
    if (firstLineAt == 0) {
      firstLineAt = now;
      std::error_code ec;
      firstOnDisk = std::filesystem::file_size(logPath, ec) > 0 && !ec;
    }
    for (int i = first; i <= last; ++i) arrived.push_back(now), shown.push_back(0);
    if (list->item(first)->text().contains(QStringLiteral("-   End   -"))) endLineAt = now;
  });
  // After a paint of the window, with XSync returned, every item that had
  // arrived is on screen (the list follows its newest line).
  int paints = 0;  // the window's paints in the counted runs of the four checks
  bool counting = false;
  app.listViewport = list->viewport();
  app.afterUpdate = [&](bool listPainted) {
    if (!display) return;
    if (counting) ++paints;
    XSync(display, 0);
    if (!listPainted) return;
    const double now = NowMs();
    for (size_t i = 0; i < shown.size(); ++i)
      if (shown[i] == 0) shown[i] = now;
  };

  HeadlessWindow headless(u"127.0.0.1", u"127.0.0.1", {false, false, true, true, true, true});
  DiagRunner core(headless);

  // One run through the window: the time to its end line, after checking
  // that every check passed and the end line is on disk; `idle` gets the
  // time until the window takes input again.
  std::vector<double> onScreen;  // each result line's time to the screen (--xvfb)
  auto windowRun = [&](bool all, double* idle = nullptr, double* fromFirstLine = nullptr) {
    std::filesystem::remove(logPath);
    ping->setChecked(all);
    shares->setChecked(all);
    QApplication::processEvents();
    endLineAt = firstLineAt = 0;
    firstOnDisk = false;
    arrived.clear();
    shown.clear();
    const double start = NowMs();
    if (all)
      Click(diag);
    else
      Key(edit, Qt::Key_Return, QStringLiteral("\r"));
    if (idle) *idle = NowMs() - start;
    if (endLineAt == 0) Fail("the run wrote no end line");
    if (!firstOnDisk) Fail("the first line was not in the run log when its item came");
    const double ms = endLineAt - start;
    if (fromFirstLine) *fromFirstLine = endLineAt - firstLineAt;
    std::ifstream in(logPath, std::ios::binary);
    const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (log.find("velkor :  - - -   End   - - - ") == std::string::npos) Fail("the end line is not in the run log");
    if (Failed(w.ResultItems())) Fail("a check failed through the window; are the peers running?");
    QApplication::processEvents();
    if (display) {
      // The last lines are painted once the run has returned.
      const double deadline = NowMs() + 2000;
      while (std::find(shown.begin(), shown.end(), 0.0) != shown.end() && NowMs() < deadline)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
      for (size_t i = 0; i < shown.size(); ++i)
        if (idle) onScreen.push_back(shown[i] == 0 ? 1e9 : shown[i] - arrived[i]);
    }
    return ms;
  };
  auto coreRun = [&] {
    SetDoEventsHook({});  // no window: nothing to let run
    const double start = NowMs();
    core.CmdDiag_Click();
    const double ms = NowMs() - start;
    InstallUiHooks();
    if (Failed(headless.ResultItems())) Fail("a check failed in the core; are the peers running?");
    return ms;
  };
  auto bareRun = [&] {
    const double start = NowMs();
    if (!BarePass(ports)) Fail("the bare client failed; are the peers running?");
    return NowMs() - start;
  };

  // A warm-up round that is not counted: first connections, fonts, caches.
  bareRun();
  coreRun();
  windowRun(false);
  if (smbPort) windowRun(true);

  // Each figure starts after a pause, as the operator's Enter comes after
  // one: the window has been idle, and the peers are done with the last client.
  auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(2 * kDoEventsDueMs)); };
  std::vector<double> window, idle, coreMs, bare, six, firstToEnd, paintTime;
  for (int i = 0; i < rounds; ++i) {
    pause();
    bare.push_back(bareRun());
    pause();
    coreMs.push_back(coreRun());
    pause();
    counting = true;
    const double paintBefore = app.paintMs;
    window.push_back(windowRun(false, &idle.emplace_back(), &firstToEnd.emplace_back()));
    counting = false;
    paintTime.push_back(app.paintMs - paintBefore);
    if (!smbPort) continue;
    pause();
    six.push_back(windowRun(true));
  }
  std::filesystem::remove_all(dir);
  if (xserver) {
    kill(xserver, SIGTERM);
    waitpid(xserver, nullptr, 0);
  }

  const double mw = Median(window), mc = Median(coreMs), mb = Median(bare);
  std::printf("window_run_bench: %d rounds, medians, on %s\n", rounds,
              xvfb ? "Xvfb" : qgetenv("QT_QPA_PLATFORM").constData());
  if (xvfb) {
    const double mf = Median(firstToEnd);
    std::printf("  window, first log line to end line on disk      %7.2f ms\n", mf);
    std::printf("  window (first to end line) / bare               %7.2f  (target: at most 1.50)\n", mf / mb);
    std::sort(onScreen.begin(), onScreen.end());
    if (!onScreen.empty())
      std::printf("  result line to screen (paint, XSync): median %.2f ms, slowest %.2f ms of %zu  (target: "
                  "each under 50 ms)\n",
                  Median(onScreen), onScreen.back(), onScreen.size());
    std::printf("  paints of the window per run (to the idle window) %5.1f  for %.1f result lines, %.2f ms in them\n",
                static_cast<double>(paints) / rounds, static_cast<double>(onScreen.size()) / rounds,
                Median(paintTime));
  }
  std::printf("  window, Enter to end line, SMTP POP FTP HTTP   %7.2f ms\n", mw);
  std::printf("    and on until the window takes input again    %7.2f ms\n", Median(idle));
  std::printf("  core alone, the same four sections             %7.2f ms\n", mc);
  std::printf("  bare client, the same four dialogues           %7.2f ms\n", mb);
  std::printf("  window / bare                                  %7.2f  (target: at most 1.50)\n", mw / mb);
  std::printf("  core / bare                                    %7.2f\n", mc / mb);
  if (smbPort)
    std::printf("  window, Diag click to end line, all six checks %7.2f ms  (target: under 100 ms)\n", Median(six));
  return 0;
}
