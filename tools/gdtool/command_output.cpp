#include "command_output.h"

#include "util/text_encoding.h"
#include "util/text_escape.h"

#include <algorithm>
#include <cstdio>
#include <iostream>

namespace gdtool {

namespace {

void appendEscaped(std::string& out, std::string_view text, bool latin1) {
    constexpr char kHex[] = "0123456789abcdef";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                continue;
            case '\\':
                out += "\\\\";
                continue;
            case '\n':
                out += "\\n";
                continue;
            case '\t':
                out += "\\t";
                continue;
            case '\r':
                out += "\\r";
                continue;
            default:
                break;
        }
        if (byte < 0x20 || (latin1 && byte >= 0x80)) {
            out += "\\u00";
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        } else {
            out += c;
        }
    }
}

}  // namespace

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    if (const auto utf8 = gd::installTextToUtf8(text)) {
        appendEscaped(out, *utf8, false);
    } else {
        appendEscaped(out, text, true);
    }
    return out + "\"";
}

std::string shownText(std::string_view text) {
    return gd::escapeControls(text);
}

FieldLine::FieldLine(std::initializer_list<std::string_view> fields) {
    for (const std::string_view field : fields) {
        if (!text_.empty()) text_ += '\t';
        text_ += shownText(field);
    }
}

JsonObject& JsonObject::member(std::string_view key, std::string_view json) {
    if (!members_.empty()) members_ += ',';
    members_ += jsonString(key);
    members_ += ':';
    members_ += json;
    return *this;
}

JsonObject& JsonObject::add(std::string_view key, std::string_view value) {
    return member(key, jsonString(value));
}

JsonObject& JsonObject::add(std::string_view key, long long value) {
    return member(key, std::to_string(value));
}

JsonObject& JsonObject::add(std::string_view key, bool value) {
    return member(key, value ? "true" : "false");
}

JsonObject& JsonObject::add(std::string_view key, const std::vector<std::string>& values) {
    std::string list = "[";
    for (const std::string& value : values)
        list += (list.size() > 1 ? "," : "") + jsonString(value);
    return member(key, list + "]");
}

JsonObject& JsonObject::add(std::string_view key, const JsonObject& value) {
    return member(key, value.text());
}

JsonObject& JsonObject::add(std::string_view key, const std::vector<JsonObject>& values) {
    std::string list = "[";
    for (const JsonObject& value : values) list += (list.size() > 1 ? "," : "") + value.text();
    return member(key, list + "]");
}

void CommandOutput::line(std::string_view text, const JsonObject& object) {
    write(json_ ? object.text() : gd::escapeControls(text, "\t"));
}

void CommandOutput::line(const FieldLine& fields, const JsonObject& object) {
    write(json_ ? object.text() : fields.text());
}

void CommandOutput::text(std::string_view text) {
    if (!json_) write(gd::escapeControls(text, "\t"));
}

void CommandOutput::text(const FieldLine& fields) {
    if (!json_) write(fields.text());
}

void CommandOutput::json(const JsonObject& object) {
    if (json_) write(object.text());
}

void CommandOutput::write(std::string_view line) {
    std::lock_guard lock(mutex_);
    std::cout << line << std::endl;
}

}  // namespace gdtool
