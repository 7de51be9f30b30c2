#include "ui/notifier.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>
#include <cstdlib>

#include "util/appfiles.h"
#include "util/log.h"

namespace {

const QString kConnectionName = QStringLiteral("velkor-notices");

}  // namespace

DesktopNotifier::~DesktopNotifier() {
  if (m_connected) QDBusConnection::disconnectFromBus(kConnectionName);
}

void DesktopNotifier::Notify(const QString& summary, const QString& body) {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address == nullptr || *address == '\0') {
    Answer(false, QStringLiteral("DBUS_SESSION_BUS_ADDRESS がありません"));
    return;
  }
  if (!m_connected) {
    // A connection of our own to the bus the variable names: nothing is
    // ever started to find one.
    QDBusConnection bus = QDBusConnection::connectToBus(QString::fromLocal8Bit(address), kConnectionName);
    if (!bus.isConnected()) {
      const QString why = bus.lastError().message();
      QDBusConnection::disconnectFromBus(kConnectionName);
      Answer(false, why.isEmpty() ? QStringLiteral("セッションバスに接続できません") : why);
      return;
    }
    m_connected = true;
  }
  QDBusConnection bus(kConnectionName);
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
      QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
  QVariantMap hints;
  hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("velkor"));
  call << QString::fromStdU16String(AppName()) << uint(0) << QStringLiteral("velkor") << summary << body
       << QStringList() << hints << int(-1);
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kNoticeCallTimeoutMs), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
    const QDBusPendingReply<uint> reply = *w;
    if (reply.isError())
      Answer(false, reply.error().message());
    else
      Answer(true, QString());
    w->deleteLater();
  });
}

void DesktopNotifier::Answer(bool ok, const QString& why) {
  if (!ok && !m_failureLogged) {
    m_failureLogged = true;
    WriteErrorLog(u"デスクトップ通知を出せません。（" + why.toStdU16String() + u"）");
  }
  if (m_answered) m_answered(ok, why);
}
