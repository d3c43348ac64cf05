#include "link/socket_notifier.h"

std::unique_ptr<QSocketNotifier> WatchSocket(int handle, QSocketNotifier::Type type,
                                             std::function<void()> ready) {
  auto notifier = std::make_unique<QSocketNotifier>(handle, type);
  QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(),
                   [ready = std::move(ready)] { ready(); });
  return notifier;
}

void DropNotifier(std::unique_ptr<QSocketNotifier>& notifier) {
  if (!notifier) return;
  notifier->setEnabled(false);
  QObject::disconnect(notifier.get(), nullptr, nullptr, nullptr);
  notifier.release()->deleteLater();
}
