#pragma once
// The bounded queue between one generation (a blocking thread, the only producer) and its
// event stream (a connection task, the only consumer). The producer blocks while the queue
// is full; the consumer never blocks: it polls, and when the queue is empty it leaves a
// waker that the producer calls on the next message or when the last sender goes.
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <variant>

namespace korvex {

// One item of a generation's output: a text piece, or the end of the generation.
struct StreamMessage {
  struct Token {
    std::string text;  // never empty
  };
  struct Done {};
  std::variant<Token, Done> value;

  static StreamMessage token(std::string text) { return {Token{std::move(text)}}; }
  static StreamMessage done() { return {Done{}}; }
};

inline constexpr std::size_t STREAM_CHANNEL_CAPACITY = 256;

struct StreamChannelState {
  std::mutex mutex;
  std::condition_variable space;  // the producer waits here while the queue is full
  std::deque<StreamMessage> queue;
  std::size_t capacity = STREAM_CHANNEL_CAPACITY;
  std::size_t senders = 0;
  bool receiver_alive = true;
  std::function<void()> waker;  // left by a consumer that found nothing to take
};

// A sending end. Copies are further sending ends; the channel closes for the receiver once
// every one of them is gone and the queue is empty.
struct StreamSender {
  std::shared_ptr<StreamChannelState> state;

  explicit StreamSender(std::shared_ptr<StreamChannelState> s);
  StreamSender(const StreamSender& other);
  StreamSender(StreamSender&& other) noexcept;
  StreamSender& operator=(const StreamSender&) = delete;
  StreamSender& operator=(StreamSender&&) = delete;
  ~StreamSender();

  // Waits while the queue is full. False (the message dropped) when the receiver is gone,
  // at once, also while waiting.
  bool send_blocking(StreamMessage message);

  // True once the receiving end has been dropped (the client has gone); stays true.
  bool receiver_gone() const;
};

// What a poll of the receiving end found.
struct ReceiveEmpty {};   // nothing queued, senders remain: the waker is set
struct ReceiveClosed {};  // nothing queued and every sender gone
using ReceiveResult = std::variant<StreamMessage, ReceiveEmpty, ReceiveClosed>;

// The receiving end; dropping it closes the channel for the senders and discards what is
// queued.
struct StreamReceiver {
  std::shared_ptr<StreamChannelState> state;

  explicit StreamReceiver(std::shared_ptr<StreamChannelState> s) : state(std::move(s)) {}
  StreamReceiver(StreamReceiver&&) noexcept = default;
  StreamReceiver& operator=(StreamReceiver&&) = delete;
  StreamReceiver(const StreamReceiver&) = delete;
  ~StreamReceiver();

  // Takes the next message if there is one. When the queue is empty and senders remain,
  // `waker` is stored and called (once, on the producer's thread) by the next send or by
  // the release of the last sender; it must only schedule work, never block.
  ReceiveResult poll(std::function<void()> waker);
};

struct StreamChannel {
  StreamSender sender;
  StreamReceiver receiver;
};
StreamChannel make_stream_channel(std::size_t capacity = STREAM_CHANNEL_CAPACITY);

}  // namespace korvex
