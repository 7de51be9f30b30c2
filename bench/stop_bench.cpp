// Time from Esc to the end line of the run it stops, through the real main
// window (offscreen), in each kind of wait a run can be stopped in:
//
//   greeting   a port that accepts and never speaks;
//   reply      a port that greets, then never answers EHLO;
//   tls        SMTPS on the silent port: the TLS handshake waits;
//   shares     NetBIOS against the silent port as the SMB server;
//   script     a failed run's error script that sleeps (Esc in its start
//              pause).
//
// Each round starts a run from the Diag button; 300 ms into it another
// thread posts Esc to the window, as the window system queues a key; the
// figure is the time from the key to the end line's arrival in the result
// list. Prints the median and the largest of each kind; the target is
// 100 ms.
//
//   QT_QPA_PLATFORM=offscreen build/bench/stop_bench [ROUNDS]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAbstractItemModel>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QListWidget>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/appstate.h"
#include "net/smbshares.h"
#include "ui/diagwiring.h"
#include "ui/frmvelkor.h"
#include "ui/uihooks.h"
#include "util/codepage.h"
#include "util/sigpipe.h"
#include "util/xcommon.h"

namespace {

double NowMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

int Listen(uint16_t* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 64) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    std::fprintf(stderr, "stop_bench: cannot listen on 127.0.0.1\n");
    std::exit(1);
  }
  *port = ntohs(sa.sin_port);
  return fd;
}

// Accepts every connection, greets it and says nothing more.
class Greeter {
 public:
  Greeter() : m_fd(Listen(&m_port)) {
    m_thread = std::thread([this] {
      while (true) {
        const int c = ::accept(m_fd, nullptr, nullptr);
        if (c < 0) return;
        [[maybe_unused]] ssize_t n = ::send(c, "220 hi\r\n", 8, MSG_NOSIGNAL);
        m_held.push_back(c);
      }
    });
  }
  ~Greeter() {
    ::shutdown(m_fd, SHUT_RDWR);
    ::close(m_fd);
    m_thread.join();
    for (int c : m_held) ::close(c);
  }
  uint16_t port() const { return m_port; }

 private:
  uint16_t m_port = 0;
  int m_fd;
  std::vector<int> m_held;
  std::thread m_thread;
};

}  // namespace

int main(int argc, char** argv) {
  IgnoreSigPipe();
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  QApplication app(argc, argv);
  InstallUiHooks();
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("stop_bench." + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  SetProgramLocation(FromUtf8(dir.string()), u"velkor");
  TargetListFilePath = FromUtf8((dir / "VKRTARGET.INI").string());

  uint16_t silentPort = 0;
  const int silent = Listen(&silentPort);
  Greeter greeter;
  SetSmbPort(silentPort);
  const std::u16string silentText = ToU16(silentPort), greeterText = ToU16(greeter.port());

  uint16_t refusedPort = 0;
  ::close(Listen(&refusedPort));
  std::ofstream(dir / "vkrRunErr.bat") << "#!/bin/sh\nsleep 5\n";
  std::filesystem::permissions(dir / "vkrRunErr.bat", std::filesystem::perms::owner_all);

  struct Kind {
    const char* name;
    std::u16string smtp;
    bool shares;
    std::vector<double> ms;
    std::u16string runBat = u"0";
  };
  std::vector<Kind> kinds = {{"greeting", silentText, false, {}},
                             {"reply", greeterText, false, {}},
                             {"tls", silentText + u"s", false, {}},
                             {"shares", u"", true, {}},
                             {"script", ToU16(refusedPort), false, {}, u"1"}};

  FrmVelkor w;
  InstallDiagRunner(w);
  w.show();
  auto* list = w.findChild<QListWidget*>(QStringLiteral("LstResult"));
  double endSeen = 0;
  QObject::connect(list->model(), &QAbstractItemModel::rowsInserted, [&](const QModelIndex&, int first, int last) {
    for (int i = first; i <= last; ++i)
      if (list->item(i)->text().contains(QStringLiteral("-   End   -"))) endSeen = NowMs();
  });
  w.findChild<QComboBox*>(QStringLiteral("CmbHosts"))->setEditText(QStringLiteral("127.0.0.1"));

  for (int round = 0; round < rounds; ++round) {
    for (Kind& k : kinds) {
      SystemSettings = {u"", k.smtp, u"", u"", u"", u"taro", u"", u"0", k.runBat};
      w.SetChkServiceValue(1, k.shares ? 1 : 0);
      for (int i = 2; i < 6; ++i) w.SetChkServiceValue(i, k.shares ? 0 : 1);
      std::atomic<double> escAt{0};
      endSeen = 0;
      // The key arrives as the window system's would: at any moment, queued
      // until the event loop next runs.
      std::thread key([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        escAt = NowMs();
        QCoreApplication::postEvent(&w, new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
      });
      w.CmdDiag_Click();
      key.join();
      if (escAt == 0 || endSeen < escAt) {
        std::fprintf(stderr, "stop_bench: the %s run was not stopped\n", k.name);
        return 1;
      }
      k.ms.push_back(endSeen - escAt);
      // The share listing given up leaves its worker; the next one waits for it, not this figure.
      QCoreApplication::processEvents();
    }
  }
  std::printf("Esc to end line, %d rounds (target 100 ms):\n", rounds);
  for (Kind& k : kinds) {
    std::sort(k.ms.begin(), k.ms.end());
    std::printf("  %-9s median %6.1f ms   max %6.1f ms\n", k.name, k.ms[k.ms.size() / 2], k.ms.back());
  }
  ::close(silent);
  std::filesystem::remove_all(dir);
  return 0;
}
