#include "server/stream_channel.hpp"

namespace korvex {

StreamSender::StreamSender(std::shared_ptr<StreamChannelState> s) : state(std::move(s)) {
  std::lock_guard lock(state->mutex);
  ++state->senders;
}

StreamSender::StreamSender(const StreamSender& other) : StreamSender(other.state) {}

StreamSender::StreamSender(StreamSender&& other) noexcept : state(std::move(other.state)) {}

StreamSender::~StreamSender() {
  if (!state) return;  // moved from
  std::function<void()> wake;
  {
    std::lock_guard lock(state->mutex);
    // The last sender closes the channel: a waiting consumer must look again.
    if (--state->senders == 0) {
      wake = std::move(state->waker);
      state->waker = nullptr;
    }
  }
  if (wake) wake();
}

bool StreamSender::send_blocking(StreamMessage message) {
  std::function<void()> wake;
  {
    std::unique_lock lock(state->mutex);
    state->space.wait(lock, [&] {
      return !state->receiver_alive || state->queue.size() < state->capacity;
    });
    if (!state->receiver_alive) return false;
    state->queue.push_back(std::move(message));
    wake = std::move(state->waker);
    state->waker = nullptr;
  }
  if (wake) wake();
  return true;
}

bool StreamSender::receiver_gone() const {
  std::lock_guard lock(state->mutex);
  return !state->receiver_alive;
}

StreamReceiver::~StreamReceiver() {
  if (!state) return;
  std::deque<StreamMessage> dropped;  // freed outside the lock
  {
    std::lock_guard lock(state->mutex);
    state->receiver_alive = false;
    state->waker = nullptr;
    dropped.swap(state->queue);
  }
  state->space.notify_all();
}

ReceiveResult StreamReceiver::poll(std::function<void()> waker) {
  std::unique_lock lock(state->mutex);
  if (!state->queue.empty()) {
    StreamMessage message = std::move(state->queue.front());
    state->queue.pop_front();
    lock.unlock();
    state->space.notify_one();
    return message;
  }
  if (state->senders == 0) return ReceiveClosed{};
  state->waker = std::move(waker);
  return ReceiveEmpty{};
}

StreamChannel make_stream_channel(std::size_t capacity) {
  auto state = std::make_shared<StreamChannelState>();
  state->capacity = capacity == 0 ? 1 : capacity;
  return StreamChannel{StreamSender(state), StreamReceiver(state)};
}

}  // namespace korvex
