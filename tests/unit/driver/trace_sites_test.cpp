// The module's trace sites against the trace format files: every site has its format line, at the
// site's level and with one placeholder for each of its arguments, and every format line has a
// site. A message without its line is decoded as bare numbers, and a line without a site or with
// the wrong arguments tells whoever reads a trace something false.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "module_sources.h"
#include "platform/com/guid.h"
#include "platform_testing/trace_session.h"

namespace {

namespace fs = std::filesystem;
using module_sources::kSourceDirectory;
using platform::testing::TraceFormatTable;
using Entry = TraceFormatTable::Entry;

constexpr const char* kSiteLevels[][2] = {
    {"TRACE_ERROR", "ERROR"}, {"TRACE_WARNING", "WARNING"}, {"TRACE_INFO", "INFO"}, {"TRACE_VERBOSE", "VERBOSE"}};

struct Site {
    std::string where;      // file:line
    std::string component;  // GuidToString form
    std::string level;
    unsigned number = 0;
    std::size_t arguments = 0;
};

// The source with comments and preprocessor lines blanked out; line breaks and literals stay.
std::string CodeOnly(std::string text)
{
    enum class State { kCode, kLineComment, kBlockComment, kDirective, kString, kCharacter } state = State::kCode;
    bool lineStart = true;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const char next = i + 1 < text.size() ? text[i + 1] : '\0';
        switch (state) {
            case State::kCode:
                if (c == '\n') {
                    lineStart = true;
                } else if (lineStart && c == '#') {
                    state = State::kDirective;
                    text[i] = ' ';
                } else if (c == '/' && (next == '/' || next == '*')) {
                    state = next == '/' ? State::kLineComment : State::kBlockComment;
                    text[i] = text[i + 1] = ' ';
                    ++i;
                } else if (c == '"' || c == '\'') {
                    state = c == '"' ? State::kString : State::kCharacter;
                }
                if (!std::isspace(static_cast<unsigned char>(c))) lineStart = false;
                break;
            case State::kLineComment:
            case State::kDirective:
                if (c == '\n') {
                    state = State::kCode;
                    lineStart = true;
                } else if (state == State::kDirective && c == '\\' && next == '\n') {
                    text[i] = ' ';
                    ++i;  // the directive goes on after the line break
                } else {
                    text[i] = ' ';
                }
                break;
            case State::kBlockComment:
                if (c == '*' && next == '/') {
                    state = State::kCode;
                    text[i] = text[i + 1] = ' ';
                    ++i;
                } else if (c != '\n') {
                    text[i] = ' ';
                }
                break;
            case State::kString:
            case State::kCharacter:
                if (c == '\\') {
                    ++i;
                } else if (c == (state == State::kString ? '"' : '\'')) {
                    state = State::kCode;
                }
                break;
        }
    }
    return text;
}

std::string Trim(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// The arguments of the call whose '(' is at `open`, split at its top-level commas.
std::vector<std::string> CallArguments(const std::string& code, std::size_t open)
{
    std::vector<std::string> arguments(1);
    int depth = 0;
    char quote = 0;
    for (std::size_t i = open + 1; i < code.size(); ++i) {
        const char c = code[i];
        if (quote != 0) {
            if (c == '\\') arguments.back() += code[i++];
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '(' || c == '[' || c == '{') {
            ++depth;
        } else if ((c == ')' || c == ']' || c == '}') && depth > 0) {
            --depth;
        } else if (c == ')') {
            break;
        } else if (c == ',' && depth == 0) {
            arguments.emplace_back();
            continue;
        }
        arguments.back() += code[i];
    }
    for (std::string& argument : arguments) argument = Trim(argument);
    return arguments;
}

bool IsIdentifierCharacter(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

// Every site of one source file; a file with sites must name its component once.
void CollectSites(const fs::path& path, std::vector<Site>* sites, std::vector<std::string>* problems)
{
    const std::string code = CodeOnly(module_sources::Read(path));
    const std::string name = module_sources::NameOf(path);

    std::vector<std::string> components;
    std::vector<Site> found;
    for (std::size_t at = code.find("TRACE_"); at != std::string::npos; at = code.find("TRACE_", at + 1)) {
        if (at > 0 && IsIdentifierCharacter(code[at - 1])) continue;
        std::size_t end = at;
        while (end < code.size() && IsIdentifierCharacter(code[end])) ++end;
        const std::string macro = code.substr(at, end - at);
        const std::size_t open = code.find_first_not_of(" \t", end);
        if (open == std::string::npos || code[open] != '(') continue;
        const std::vector<std::string> arguments = CallArguments(code, open);
        const std::string where = name + ":" + std::to_string(1 + std::count(code.begin(), code.begin() + at, '\n'));

        if (macro == "TRACE_COMPONENT") {
            GUID guid{};
            const std::string text = arguments[0].size() >= 2 ? arguments[0].substr(1, arguments[0].size() - 2) : "";
            if (!platform::ParseGuid(text, &guid)) problems->push_back(where + ": the component is no GUID");
            components.push_back(platform::GuidToString(guid));
            continue;
        }
        const auto level = std::find_if(std::begin(kSiteLevels), std::end(kSiteLevels),
                                        [&](const auto& pair) { return macro == pair[0]; });
        if (level == std::end(kSiteLevels)) continue;
        const std::string& number = arguments[0];
        if (number.empty() || !std::all_of(number.begin(), number.end(),
                                           [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; })) {
            problems->push_back(where + ": " + macro + " has no message number");
            continue;
        }
        found.push_back({where, {}, (*level)[1], static_cast<unsigned>(std::stoul(number)), arguments.size() - 1});
    }
    if (found.empty()) return;
    if (components.size() != 1) {
        problems->push_back(name + ": " + std::to_string(components.size()) + " TRACE_COMPONENT lines, not one");
        return;
    }
    for (Site& site : found) {
        site.component = components.front();
        sites->push_back(std::move(site));
    }
}

std::vector<Site> ModuleSites(std::vector<std::string>* problems)
{
    std::vector<Site> sites;
    for (const fs::path& file : module_sources::Files()) CollectSites(file, &sites, problems);
    return sites;
}

std::vector<Entry> ModuleFormats()
{
    TraceFormatTable table;
    std::string error;
    EXPECT_TRUE(table.LoadDirectory((kSourceDirectory / "driver" / "trace_formats").string(), &error)) << error;
    return table.Entries();
}

// The argument numbers that the text's placeholders (%1, %2!x!, ...; %% is none) stand for.
std::set<std::size_t> Placeholders(const std::string& text)
{
    std::set<std::size_t> numbers;
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != '%') continue;
        if (text[i + 1] == '%') {
            ++i;
            continue;
        }
        std::size_t number = 0;
        std::size_t j = i + 1;
        for (; j < text.size() && std::isdigit(static_cast<unsigned char>(text[j])); ++j) {
            number = number * 10 + static_cast<std::size_t>(text[j] - '0');
        }
        if (j > i + 1) numbers.insert(number);
        i = j - 1;
    }
    return numbers;
}

std::string Key(const std::string& component, unsigned number)
{
    return component + " " + std::to_string(number);
}

std::vector<std::string> Mismatches(const std::vector<Site>& sites, const std::vector<Entry>& formats)
{
    std::map<std::string, const Entry*> lines;
    for (const Entry& entry : formats) lines.emplace(Key(entry.component, entry.number), &entry);
    std::set<std::string> used;
    std::vector<std::string> problems;
    for (const Site& site : sites) {
        const std::string key = Key(site.component, site.number);
        const auto line = lines.find(key);
        const std::string what = site.where + ": " + site.level + " message " + key;
        if (line == lines.end()) {
            problems.push_back(what + " has no format line");
            continue;
        }
        used.insert(key);
        if (line->second->level != site.level) problems.push_back(what + " has the level " + line->second->level);
        std::set<std::size_t> expected;
        for (std::size_t n = 1; n <= site.arguments; ++n) expected.insert(n);
        if (Placeholders(line->second->text) != expected) {
            problems.push_back(what + " has " + std::to_string(site.arguments) +
                               " arguments; its format line: " + line->second->text);
        }
    }
    for (const Entry& entry : formats) {
        const std::string key = Key(entry.component, entry.number);
        if (used.count(key) == 0) problems.push_back("format line " + key + " has no trace site: " + entry.text);
    }
    return problems;
}

std::string Lines(const std::vector<std::string>& problems)
{
    std::string text;
    for (const std::string& problem : problems) text += problem + "\n";
    return text;
}

TEST(TraceSites, EverySiteHasItsFormatLineAndEveryLineASite)
{
    std::vector<std::string> problems;
    const std::vector<Site> sites = ModuleSites(&problems);
    const std::vector<Entry> formats = ModuleFormats();
    // The scan found the module's sources and formats.
    EXPECT_GT(sites.size(), 150u);
    EXPECT_GT(formats.size(), 150u);
    const std::vector<std::string> mismatches = Mismatches(sites, formats);
    problems.insert(problems.end(), mismatches.begin(), mismatches.end());
    EXPECT_TRUE(problems.empty()) << Lines(problems);
}

// The comparison itself: each kind of change to one format line is found, and named.
TEST(TraceSites, Mismatches_NameEachChangedFormatLine)
{
    std::vector<std::string> scanProblems;
    const std::vector<Site> sites = ModuleSites(&scanProblems);
    const std::vector<Entry> formats = ModuleFormats();
    // A line with one argument, so that each change below leaves it wrong in one way.
    const auto chosen = std::find_if(formats.begin(), formats.end(),
                                     [](const Entry& entry) { return Placeholders(entry.text).size() == 1; });
    ASSERT_NE(chosen, formats.end());
    const std::string key = Key(chosen->component, chosen->number);

    const struct {
        const char* change;
        void (*apply)(std::vector<Entry>&, std::size_t);
        const char* named;
    } cases[] = {
        {"removed", [](std::vector<Entry>& lines, std::size_t i) { lines.erase(lines.begin() + i); }, "no format line"},
        {"level changed", [](std::vector<Entry>& lines, std::size_t i) { lines[i].level = "FATAL"; }, "the level"},
        {"placeholder dropped", [](std::vector<Entry>& lines, std::size_t i) { lines[i].text = "no arguments"; },
         "arguments"},
        {"placeholder added", [](std::vector<Entry>& lines, std::size_t i) { lines[i].text += " %2"; }, "arguments"},
        {"number changed", [](std::vector<Entry>& lines, std::size_t i) { lines[i].number = 9999; }, "no trace site"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.change);
        std::vector<Entry> changed = formats;
        c.apply(changed, static_cast<std::size_t>(chosen - formats.begin()));
        const std::vector<std::string> problems = Mismatches(sites, changed);
        ASSERT_FALSE(problems.empty());
        EXPECT_TRUE(std::all_of(problems.begin(), problems.end(), [&](const std::string& problem) {
            return problem.find(key) != std::string::npos || problem.find(" 9999") != std::string::npos;
        })) << Lines(problems);
        EXPECT_TRUE(std::any_of(problems.begin(), problems.end(), [&](const std::string& problem) {
            return problem.find(c.named) != std::string::npos;
        })) << Lines(problems);
    }
}

}  // namespace
