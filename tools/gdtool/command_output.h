// What a command prints on stdout: its text lines, which scripts have long
// parsed, or with --json the same facts as one JSON object per line. Every
// command that offers --json prints through this, so the two forms cannot
// drift apart in how they are written.
#pragma once

#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace gdtool {

// One JSON object, built key by key in the order given. Texts that are not
// UTF-8 are read as CP932, as the engine reads installation data; a byte
// that is neither becomes \u00XX.
class JsonObject {
  public:
    JsonObject& add(std::string_view key, std::string_view value);
    JsonObject& add(std::string_view key, const char* value) {
        return add(key, std::string_view(value));
    }
    JsonObject& add(std::string_view key, const std::string& value) {
        return add(key, std::string_view(value));
    }
    JsonObject& add(std::string_view key, long long value);
    JsonObject& add(std::string_view key, int value) {
        return add(key, static_cast<long long>(value));
    }
    JsonObject& add(std::string_view key, bool value);
    JsonObject& add(std::string_view key, const std::vector<std::string>& values);
    JsonObject& add(std::string_view key, const JsonObject& value);
    JsonObject& add(std::string_view key, const std::vector<JsonObject>& values);
    std::string text() const { return "{" + members_ + "}"; }

  private:
    JsonObject& member(std::string_view key, std::string_view json);
    std::string members_;
};

// A JSON string literal of `text`, quotes included.
std::string jsonString(std::string_view text);

// Text from outside (a server, a script, installation data) as gdtool shows
// it on a terminal: every control character escaped (util/text_escape.h),
// so that it can neither end the line nor steer the terminal.
std::string shownText(std::string_view text);

// A text line of tab-separated fields ("key=" with the first one): each
// field shown as shownText shows it, tabs included, so that the only tabs
// left are the separators.
class FieldLine {
  public:
    FieldLine(std::initializer_list<std::string_view> fields);
    const std::string& text() const { return text_; }

  private:
    std::string text_;
};

// stdout in the form the command line asked for. Safe to use from the update
// worker's thread and the main thread at once: each line goes out whole.
class CommandOutput {
  public:
    explicit CommandOutput(bool json = false) : json_(json) {}
    bool json() const { return json_; }
    // `text` (without its line break) in text form, `object` with --json.
    // Text lines go out with their control characters escaped, tabs aside
    // (see FieldLine), whatever the values in them hold.
    void line(std::string_view text, const JsonObject& object);
    void line(const FieldLine& fields, const JsonObject& object);
    // Only in text form: a line that --json gives as part of a larger object.
    void text(std::string_view text);
    void text(const FieldLine& fields);
    // Only with --json: what text form says on stderr or not at all.
    void json(const JsonObject& object);

  private:
    void write(std::string_view line);
    bool json_;
    std::mutex mutex_;
};

}  // namespace gdtool
