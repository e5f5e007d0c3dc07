// Rendering chat messages into one prompt text. The format follows from which marker texts
// the vocabulary holds; the model file's own template text is not used.
#include <string>

#include "tokenizer/tokenizer.hpp"

namespace korvex {

namespace {

enum class RoleClass { System, Assistant, User };

// Byte-exact: "System" or "ASSISTANT" are users like any other name.
RoleClass role_class(std::string_view role) {
  if (role == "system" || role == "developer") return RoleClass::System;
  if (role == "assistant") return RoleClass::Assistant;
  return RoleClass::User;
}

void render_start_message(std::span<const MessageRef> messages, std::string& out) {
  out += "<|start|>system<|message|>";
  out += "Knowledge cutoff: 2024-06\n\n";
  out += "# Valid channels: analysis, final. Channel must be included for every message.";
  out += "<|end|>";
  for (const MessageRef& m : messages) {
    switch (role_class(m.role)) {
      case RoleClass::System: out += "<|start|>developer<|message|>\n# Instructions\n\n"; break;
      case RoleClass::Assistant: out += "<|start|>assistant<|message|>"; break;
      case RoleClass::User: out += "<|start|>user<|message|>"; break;
    }
    out += m.content;
    out += "<|end|>";
  }
  out += "<|start|>assistant<|message|>";
}

void render_im_start(std::span<const MessageRef> messages, std::string& out) {
  for (const MessageRef& m : messages) {
    out += "<|im_start|>";
    out += m.role;
    out += '\n';
    out += m.content;
    out += "<|im_end|>\n";
  }
  out += "<|im_start|>assistant\n";
}

void render_role_tags(std::span<const MessageRef> messages, std::string& out) {
  for (const MessageRef& m : messages) {
    switch (role_class(m.role)) {
      case RoleClass::System: out += "<|system|>\n"; break;
      case RoleClass::Assistant: out += "<|assistant|>\n"; break;
      case RoleClass::User: out += "<|user|>\n"; break;
    }
    out += m.content;
    out += "</s>\n";
  }
  out += "<|assistant|>\n";
}

void render_plain(std::span<const MessageRef> messages, std::string& out) {
  bool had_user = false;
  for (const MessageRef& m : messages) {
    switch (role_class(m.role)) {
      case RoleClass::System:
        out += "SYSTEM: ";
        out += m.content;
        out += '\n';
        break;
      case RoleClass::Assistant:
        out += m.content;
        out += '\n';
        break;
      case RoleClass::User:
        out += "USER: ";
        out += m.content;
        out += "\nASSISTANT:";
        had_user = true;
        break;
    }
  }
  // A user block already ends by opening the answer; without one there is nothing to answer.
  if (!had_user) out += "USER: hello\nASSISTANT:";
}

}  // namespace

ChatTemplate Tokenizer::chat_template() const {
  if (token_to_id.contains(std::string_view("<|start|>"))) return ChatTemplate::StartMessage;
  if (token_to_id.contains(std::string_view("<|im_start|>"))) return ChatTemplate::ImStart;
  if (token_to_id.contains(std::string_view("<|user|>")) &&
      token_to_id.contains(std::string_view("<|assistant|>")))
    return ChatTemplate::RoleTags;
  return ChatTemplate::Plain;
}

std::string Tokenizer::apply_chat_template(std::span<const MessageRef> messages) const {
  std::string out;
  switch (chat_template()) {
    case ChatTemplate::StartMessage: render_start_message(messages, out); break;
    case ChatTemplate::ImStart: render_im_start(messages, out); break;
    case ChatTemplate::RoleTags: render_role_tags(messages, out); break;
    case ChatTemplate::Plain: render_plain(messages, out); break;
  }
  return out;
}

std::vector<uint32_t> Tokenizer::encode_chat(std::span<const MessageRef> messages) const {
  return encode(apply_chat_template(messages));
}

}  // namespace korvex
