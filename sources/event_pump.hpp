#pragma once

// Long commands run on the user-interface thread and yield now and then so that the window
// repaints and answers clicks. EventPump is that yield; CommandGate keeps the commands that
// change the list from running inside one another while one of them yields.

#include <QAbstractButton>
#include <chrono>
#include <optional>
#include <utility>
#include <vector>

namespace larkfield::sources {

// Thrown by EventPump::Yield once the window is ending, to unwind the command that yields.
// It is not an error and carries nothing; the window's handlers catch it and return.
class Cancelled {};

class EventPump {
 public:
  // Yield processes pending events only when `interval` has passed since it last did (the
  // first call always does). Processing events costs far more than logging one file, and
  // a few milliseconds between two rounds still feel immediate.
  explicit EventPump(std::chrono::milliseconds interval = std::chrono::milliseconds(10))
      : interval_(interval) {}

  // Throws Cancelled when the window is ending, before and after processing events.
  void Yield();

  void SetInterval(std::chrono::milliseconds interval) noexcept { interval_ = interval; }

  // The window is ending: every later Yield throws Cancelled.
  void Stop() noexcept { stopped_ = true; }
  bool Stopped() const noexcept { return stopped_; }

 private:
  std::chrono::milliseconds interval_;
  std::chrono::steady_clock::time_point last_{};
  bool stopped_ = false;
};

class CommandGate {
 public:
  // `held` are the buttons of the commands that must not start while one runs.
  explicit CommandGate(std::vector<QAbstractButton*> held);

  // While a Hold lives the held buttons are disabled; when it ends each gets the state
  // last asked for through SetEnabled (or the one it had before).
  class Hold {
   public:
    Hold(Hold&& other) noexcept : gate_(std::exchange(other.gate_, nullptr)) {}
    Hold& operator=(Hold&&) = delete;
    Hold(const Hold&) = delete;
    ~Hold();

   private:
    friend class CommandGate;
    explicit Hold(CommandGate* gate) : gate_(gate) {}
    CommandGate* gate_;
  };

  // Starts a command, or refuses with nullopt when one is already running.
  [[nodiscard]] std::optional<Hold> TryHold();
  bool Busy() const noexcept { return busy_; }

  // The state a held button is to have: shown at once when no command runs, otherwise
  // when the running one ends. Other buttons are simply set.
  void SetEnabled(QAbstractButton* button, bool enabled);
  // The state SetEnabled last asked for (for a held button during a command), otherwise
  // the button's own.
  bool Enabled(const QAbstractButton* button) const;

 private:
  struct Held {
    QAbstractButton* button;
    bool wanted;
  };
  // Position of a held button in held_, or held_.size().
  std::size_t IndexOf(const QAbstractButton* button) const;
  void Release();

  std::vector<Held> held_;
  bool busy_ = false;
};

// The busy mouse pointer for as long as it lives.
class BusyCursor {
 public:
  BusyCursor();
  ~BusyCursor();
  BusyCursor(const BusyCursor&) = delete;
  BusyCursor& operator=(const BusyCursor&) = delete;
};

}  // namespace larkfield::sources
