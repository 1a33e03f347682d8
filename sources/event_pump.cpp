#include "sources/event_pump.hpp"

#include <QCoreApplication>
#include <QGuiApplication>
#include <algorithm>

namespace larkfield::sources {

void EventPump::Yield() {
  if (stopped_) throw Cancelled{};
  const auto now = std::chrono::steady_clock::now();
  if (last_ == std::chrono::steady_clock::time_point{} || now - last_ >= interval_) {
    QCoreApplication::processEvents();
    last_ = std::chrono::steady_clock::now();
  }
  if (stopped_) throw Cancelled{};
}

CommandGate::CommandGate(std::vector<QAbstractButton*> held) {
  held_.reserve(held.size());
  for (QAbstractButton* button : held) held_.push_back(Held{button, true});
}

CommandGate::Hold::~Hold() {
  if (gate_) gate_->Release();
}

std::optional<CommandGate::Hold> CommandGate::TryHold() {
  if (busy_) return std::nullopt;
  busy_ = true;
  for (Held& h : held_) {
    h.wanted = h.button->isEnabled();
    h.button->setEnabled(false);
  }
  return Hold(this);
}

void CommandGate::Release() {
  busy_ = false;
  for (Held& h : held_) h.button->setEnabled(h.wanted);
}

std::size_t CommandGate::IndexOf(const QAbstractButton* button) const {
  auto it = std::find_if(held_.begin(), held_.end(),
                         [button](const Held& h) { return h.button == button; });
  return static_cast<std::size_t>(it - held_.begin());
}

void CommandGate::SetEnabled(QAbstractButton* button, bool enabled) {
  if (const std::size_t i = IndexOf(button); busy_ && i < held_.size()) {
    held_[i].wanted = enabled;
    return;
  }
  button->setEnabled(enabled);
}

bool CommandGate::Enabled(const QAbstractButton* button) const {
  if (const std::size_t i = IndexOf(button); busy_ && i < held_.size()) return held_[i].wanted;
  return button->isEnabled();
}

BusyCursor::BusyCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
BusyCursor::~BusyCursor() { QGuiApplication::restoreOverrideCursor(); }

}  // namespace larkfield::sources
