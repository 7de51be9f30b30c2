#pragma once
// Desktop notices through the freedesktop notification service
// (org.freedesktop.Notifications on the session bus). A call never holds up
// a run or the window: it is asynchronous, and one left unanswered for
// kNoticeCallTimeoutMs is dropped. Without DBUS_SESSION_BUS_ADDRESS the bus is
// never touched (the D-Bus library would otherwise start a bus of its own).
// The first notice of a start that cannot be given writes one error-log line.
#include <QObject>
#include <QString>
#include <functional>

inline constexpr int kNoticeCallTimeoutMs = 2000;

class DesktopNotifier : public QObject {
 public:
  explicit DesktopNotifier(QObject* parent = nullptr) : QObject(parent) {}
  ~DesktopNotifier() override;
  // Returns at once; the answer comes later, through the event loop.
  void Notify(const QString& summary, const QString& body);
  // Tests hear each answer: whether the service took the notice, and why not.
  void SetAnswered(std::function<void(bool ok, const QString& why)> heard) { m_answered = std::move(heard); }

 private:
  void Answer(bool ok, const QString& why);
  bool m_connected = false;
  bool m_failureLogged = false;
  std::function<void(bool, const QString&)> m_answered;
};
