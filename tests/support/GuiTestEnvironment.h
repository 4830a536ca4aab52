// The Qt Widgets application of a GUI test program, on the offscreen platform (no
// display needed), with a private settings store. Each program registers it once:
//
//   [[maybe_unused]] auto* const kQt = ::testing::AddGlobalTestEnvironment(
//       new rda::test::GuiTestEnvironment("test_widgets"));
//
// Also runs the event loop for a while or until a condition holds (PumpUntil),
// answers the modal dialogs that a call opens (AnswerNextModal, ModalAnswerer), and
// makes a window the active one before a test looks at focus (ActivateAndWait).
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/QtTestEnvironment.h"

namespace rda::test {

class GuiTestEnvironment : public QtApplicationEnvironment<QApplication> {
 public:
  explicit GuiTestEnvironment(std::string name)
      : QtApplicationEnvironment(std::move(name), "offscreen") {}
};

// Runs the event loop until `done` or `ms` pass; true when done.
inline bool PumpUntil(const std::function<bool()>& done, int ms = 10000) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

// Makes `w`'s window the active one and waits until the platform reports it so. Only
// the active window has a focus widget that hasFocus() sees, and a window is
// activated some time after it is shown (or after a window over it closed): a test
// that looks at focus calls this first. True when the window became active.
inline bool ActivateAndWait(QWidget* w) {
  w->activateWindow();
  return QTest::qWaitForWindowActive(w);
}

// The visible modal widget of type T, or null.
template <typename T>
T* ActiveModal() {
  return qobject_cast<T*>(QApplication::activeModalWidget());
}

// Calls `answer` with the first modal widget of type T that opens within `ms` (from
// inside the modal loop that shows it). Use it just before the call that opens the
// dialog. When none opens in time, `answer` is not called.
template <typename T>
void AnswerNextModal(std::function<void(T*)> answer, int ms = 30000) {
  auto* timer = new QTimer(qApp);
  auto clock = std::make_shared<QElapsedTimer>();
  clock->start();
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, timer, [timer, clock, answer = std::move(answer), ms] {
    T* w = ActiveModal<T>();
    if (w != nullptr && w->isVisible()) {
      timer->stop();
      timer->deleteLater();
      answer(w);
    } else if (clock->elapsed() > ms) {
      timer->stop();
      timer->deleteLater();
    }
  });
  timer->start();
}

// Answers every modal window that opens while it lives (from inside the modal loop
// that shows it), each once, with `answer`, which may open more modal windows; keeps
// a line per window it saw:
// "<title>|<text>" for message boxes, the title for other windows.
class ModalAnswerer {
 public:
  explicit ModalAnswerer(std::function<void(QWidget*)> answer) : answer_(std::move(answer)) {
    timer_.setInterval(10);
    QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { Poll(); });
    timer_.start();
  }
  const std::vector<std::string>& Seen() const { return seen_; }

 private:
  void Poll() {
    QWidget* w = QApplication::activeModalWidget();
    if (w == nullptr || !w->isVisible() || w->property("rdaTestAnswered").toBool()) return;
    w->setProperty("rdaTestAnswered", true);
    std::string line = w->windowTitle().toStdString();
    if (auto* box = qobject_cast<QMessageBox*>(w)) line += "|" + box->text().toStdString();
    seen_.push_back(line);
    // Answered from a call of its own, not from this timer's slot: an answer that
    // opens another modal window (which Qt would not let this timer see) then gets
    // answered too.
    QTimer::singleShot(0, w, [answer = answer_, w] { answer(w); });
  }

  std::function<void(QWidget*)> answer_;
  std::vector<std::string> seen_;
  QTimer timer_;
};

// Presses OK in a message box (other windows are left to the caller's answer).
inline void PressOk(QWidget* w) {
  if (auto* box = qobject_cast<QMessageBox*>(w)) {
    if (QAbstractButton* ok = box->button(QMessageBox::Ok)) ok->click();
  }
}

}  // namespace rda::test
