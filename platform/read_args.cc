#include "platform/read_args.h"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

struct TemplateItem {
  std::string_view keyword;
  bool required = false;
  bool number = false;
  bool is_switch = false;
};

// Splits the template into its items; false for a template this parser
// does not understand (unknown modifier, too many items).
bool ParseTemplate(std::string_view templ, std::vector<TemplateItem>& items) {
  while (!templ.empty()) {
    size_t comma = templ.find(',');
    std::string_view entry = templ.substr(0, comma);
    templ = comma == std::string_view::npos ? std::string_view()
                                            : templ.substr(comma + 1);
    TemplateItem item;
    size_t slash = entry.find('/');
    item.keyword = entry.substr(0, slash);
    if (item.keyword.empty()) return false;
    while (slash != std::string_view::npos) {
      if (slash + 1 >= entry.size()) return false;
      switch (entry[slash + 1]) {
        case 'A': case 'a': item.required = true; break;
        case 'N': case 'n': item.number = true; break;
        case 'S': case 's': item.is_switch = true; break;
        default: return false;
      }
      entry = entry.substr(slash + 2);
      if (!entry.empty() && entry[0] != '/') return false;
      slash = entry.empty() ? std::string_view::npos : 0;
    }
    if (item.is_switch && (item.number || item.required)) return false;
    items.push_back(item);
  }
  return !items.empty() && items.size() <= kMaxTemplateItems;
}

bool SameKeyword(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

int FindKeyword(const std::vector<TemplateItem>& items, std::string_view word) {
  for (size_t i = 0; i < items.size(); ++i) {
    if (SameKeyword(items[i].keyword, word)) return static_cast<int>(i);
  }
  return -1;
}

// Splits the line typed at the "?" prompt into words: blanks separate,
// double quotes group.
bool SplitLine(std::string_view line, std::deque<std::string>& words) {
  size_t i = 0;
  while (true) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' ||
                               line[i] == '\n' || line[i] == '\r')) {
      ++i;
    }
    if (i >= line.size()) return true;
    std::string word;
    if (line[i] == '"') {
      size_t close = line.find('"', i + 1);
      if (close == std::string_view::npos) return false;
      word.assign(line.substr(i + 1, close - i - 1));
      i = close + 1;
    } else {
      while (i < line.size() && line[i] != ' ' && line[i] != '\t' &&
             line[i] != '\n' && line[i] != '\r') {
        word.push_back(line[i++]);
      }
    }
    words.push_back(std::move(word));
  }
}

}  // namespace

bool ParseInt32(std::string_view text, int32_t& value) {
  if (!text.empty() && text[0] == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text[0] == '-') return false;
  }
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end;
}

std::unique_ptr<RDArgs> ReadArgs(const char* templ, std::span<ArgSlot> slots,
                                 std::span<const char* const> words,
                                 FILE* in, FILE* out) {
  for (ArgSlot& slot : slots) slot = ArgSlot();
  std::vector<TemplateItem> items;
  if (!ParseTemplate(templ, items) || slots.size() < items.size()) {
    return nullptr;
  }

  auto args = std::make_unique<RDArgs>();
  std::deque<std::string>& texts = args->texts_;
  if (words.size() == 1 && strcmp(words[0], "?") == 0) {
    fprintf(out, "%s: ", templ);
    fflush(out);
    // One line, as a person types it: a longer one (say, a device's
    // endless output piped in by mistake) is refused, not gathered.
    char line[kMaxPromptLine + 2];
    const bool read = fgets(line, sizeof line, in) != nullptr;
    const size_t length = read ? strlen(line) : 0;
    std::deque<std::string> typed;
    const bool ok = read && length <= kMaxPromptLine &&
                    SplitLine(std::string_view(line, length), typed);
    if (!ok) return nullptr;
    texts = std::move(typed);
  } else {
    for (const char* word : words) texts.emplace_back(word);
  }

  // Values are kept as indexes into `texts` until the end; a "KEYWORD=value"
  // word adds its value as a text of its own.
  std::vector<long> value_of(items.size(), -1);
  std::vector<bool> given(items.size(), false);
  const size_t word_count = texts.size();
  for (size_t w = 0; w < word_count; ++w) {
    std::string_view word = texts[w];
    size_t equals = word.find('=');
    int keyword = FindKeyword(items, word.substr(0, equals));
    long value = -1;
    if (keyword < 0) {
      // Positional: the first non-switch item still free.
      for (size_t i = 0; i < items.size() && keyword < 0; ++i) {
        if (!items[i].is_switch && !given[i]) keyword = static_cast<int>(i);
      }
      if (keyword < 0) return nullptr;
      value = static_cast<long>(w);
    } else if (given[keyword]) {
      return nullptr;
    } else if (items[keyword].is_switch) {
      if (equals != std::string_view::npos) return nullptr;
    } else if (equals != std::string_view::npos) {
      texts.emplace_back(word.substr(equals + 1));
      value = static_cast<long>(texts.size() - 1);
    } else {
      if (++w >= word_count) return nullptr;
      value = static_cast<long>(w);
    }
    given[keyword] = true;
    value_of[keyword] = value;
  }

  for (size_t i = 0; i < items.size(); ++i) {
    if (items[i].required && !given[i]) return nullptr;
  }
  for (size_t i = 0; i < items.size(); ++i) {
    if (!given[i]) continue;
    if (items[i].is_switch) {
      slots[i].on = true;
    } else if (items[i].number) {
      if (!ParseInt32(texts[value_of[i]], args->numbers_[i])) {
        for (ArgSlot& slot : slots) slot = ArgSlot();
        return nullptr;
      }
      slots[i].number = &args->numbers_[i];
    } else {
      slots[i].text = texts[value_of[i]].c_str();
    }
  }
  return args;
}
