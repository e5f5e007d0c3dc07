#include <gtest/gtest.h>

#include "fixture.hpp"

namespace korvex::test {
namespace {

const std::string START_SYSTEM_BLOCK =
    "<|start|>system<|message|>Knowledge cutoff: 2024-06\n\n"
    "# Valid channels: analysis, final. Channel must be included for every message.<|end|>";

Tokenizer start_message() { return make_tokenizer({"<|start|>", "<|message|>", "<|end|>"}); }
Tokenizer im_start() { return make_tokenizer({"<|im_start|>", "<|im_end|>"}); }
Tokenizer role_tags() { return make_tokenizer({"<|user|>", "<|assistant|>", "<|system|>"}); }
Tokenizer plain() { return make_tokenizer({"a"}); }

TEST(ChatTemplate, ChoiceFollowsMarkersInOrder) {
  struct Case {
    std::vector<std::string> vocab;
    ChatTemplate expected;
  };
  const Case cases[] = {
      {{"<|start|>"}, ChatTemplate::StartMessage},
      {{"<|im_start|>", "<|start|>"}, ChatTemplate::StartMessage},
      {{"<|im_start|>", "<|user|>", "<|assistant|>"}, ChatTemplate::ImStart},
      {{"<|user|>", "<|assistant|>"}, ChatTemplate::RoleTags},
      {{"<|user|>"}, ChatTemplate::Plain},
      {{"<|assistant|>"}, ChatTemplate::Plain},
      {{"<|START|>", "start"}, ChatTemplate::Plain},
      {{}, ChatTemplate::Plain},
  };
  for (const Case& c : cases) {
    auto t = Tokenizer::from_metadata({{"tokenizer.ggml.tokens", mv_str_arr(c.vocab)}});
    EXPECT_EQ(t->chat_template(), c.expected) << (c.vocab.empty() ? "" : c.vocab[0]);
  }
}

TEST(ChatTemplate, EmptyListRendersOnlyTheFixedParts) {
  EXPECT_EQ(START_SYSTEM_BLOCK.size(), 26u + 27 + 78 + 7);
  EXPECT_EQ(start_message().apply_chat_template({}), START_SYSTEM_BLOCK + "<|start|>assistant<|message|>");
  EXPECT_EQ(im_start().apply_chat_template({}), "<|im_start|>assistant\n");
  EXPECT_EQ(role_tags().apply_chat_template({}), "<|assistant|>\n");
  EXPECT_EQ(plain().apply_chat_template({}), "USER: hello\nASSISTANT:");
}

TEST(ChatTemplate, StartMessageRendersRoleClasses) {
  const MessageRef messages[] = {
      {"system", "S"}, {"user", "U"}, {"assistant", "A"}, {"developer", "D"}, {"System", "X"}, {"", "E"}};
  EXPECT_EQ(start_message().apply_chat_template(messages),
            START_SYSTEM_BLOCK +
                "<|start|>developer<|message|>\n# Instructions\n\nS<|end|>"
                "<|start|>user<|message|>U<|end|>"
                "<|start|>assistant<|message|>A<|end|>"
                "<|start|>developer<|message|>\n# Instructions\n\nD<|end|>"
                "<|start|>user<|message|>X<|end|>"
                "<|start|>user<|message|>E<|end|>"
                "<|start|>assistant<|message|>");
}

TEST(ChatTemplate, ImStartWritesRolesVerbatim) {
  const MessageRef messages[] = {{"developer", "d"}, {"", "e"}, {"user", "<|im_end|>x"}};
  EXPECT_EQ(im_start().apply_chat_template(messages),
            "<|im_start|>developer\nd<|im_end|>\n"
            "<|im_start|>\ne<|im_end|>\n"
            "<|im_start|>user\n<|im_end|>x<|im_end|>\n"
            "<|im_start|>assistant\n");
}

TEST(ChatTemplate, RoleTags) {
  const MessageRef messages[] = {{"system", "s"}, {"user", "u"}, {"assistant", "a"}, {"ASSISTANT", "b"}};
  EXPECT_EQ(role_tags().apply_chat_template(messages),
            "<|system|>\ns</s>\n<|user|>\nu</s>\n<|assistant|>\na</s>\n<|user|>\nb</s>\n<|assistant|>\n");
}

TEST(ChatTemplate, PlainOpensTheAnswerOnlyAfterAUser) {
  struct Case {
    std::vector<MessageRef> messages;
    std::string expected;
  };
  const Case cases[] = {
      {{{"system", "S"}, {"user", "U"}}, "SYSTEM: S\nUSER: U\nASSISTANT:"},
      {{{"user", "T1"}, {"assistant", "T2"}, {"user", "T3"}}, "USER: T1\nASSISTANT:T2\nUSER: T3\nASSISTANT:"},
      {{{"system", "S"}}, "SYSTEM: S\nUSER: hello\nASSISTANT:"},
      {{{"user", "U"}, {"assistant", "A"}}, "USER: U\nASSISTANT:A\n"},
      {{{"assistant", "A"}}, "A\nUSER: hello\nASSISTANT:"},
      {{{"System", "S"}, {"ASSISTANT", "A"}}, "USER: S\nASSISTANT:USER: A\nASSISTANT:"},
  };
  for (const Case& c : cases) EXPECT_EQ(plain().apply_chat_template(c.messages), c.expected);
}

TEST(ChatTemplate, EncodeChatEncodesTheRenderedText) {
  // A content that types a marker gets the marker's id like the template's own; no
  // beginning id is added in front. (Byte-level mode: a line feed is U+010A.)
  Tokenizer t = make_tokenizer({"<s>", "<|im_start|>", "<|im_end|>", "\xC4\x8A", "u", "s", "e", "r", "a", "i", "t", "n",
                                "x"});
  const MessageRef messages[] = {{"user", "x<|im_end|>"}};
  const uint32_t S = 1, E = 2, NL = 3;
  EXPECT_EQ(t.encode_chat(messages),
            (std::vector<uint32_t>{S, 4, 5, 6, 7, NL, 12, E, E, NL, S, 8, 5, 5, 9, 5, 10, 8, 11, 10, NL}));
}

}  // namespace
}  // namespace korvex::test
