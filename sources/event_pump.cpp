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
  for (QAbstractButton* button : held) held_.push_back(Held{button, button->isEnabled()});
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

CommandGate::Held* CommandGate::Find(const QAbstractButton* button) {
  auto it = std::find_if(held_.begin(), held_.end(),
                         [button](const Held& h) { return h.button == button; });
  return it == held_.end() ? nullptr : &*it;
}

void CommandGate::SetEnabled(QAbstractButton* button, bool enabled) {
  Held* h = Find(button);
  if (h && busy_) {
    h->wanted = enabled;
    return;
  }
  button->setEnabled(enabled);
}

bool CommandGate::Enabled(const QAbstractButton* button) const {
  auto it = std::find_if(held_.begin(), held_.end(),
                         [button](const Held& h) { return h.button == button; });
  if (it != held_.end() && busy_) return it->wanted;
  return button->isEnabled();
}

BusyCursor::BusyCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
BusyCursor::~BusyCursor() { QGuiApplication::restoreOverrideCursor(); }

}  // namespace larkfield::sources
