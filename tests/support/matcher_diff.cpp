// matcher_diff.cpp: PatternDiff, LineRun and build_selector (matcher_diff.h).
#include "support/matcher_diff.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <utility>

#include "regexp/analysis.h"
#include "support/capture_hook.h"
#include "support/escape_bytes.h"

namespace {

// The slots of a fresh record are unwritten: point them into a marker text, so that a
// search that makes no try is seen to leave them alone.
const char INITIAL_SLOTS[] = "0123456789abcdefghij";

void mark_initial_slots(Regexp* prog) {
    for (int i = 0; i < REGEXP_GROUPS; ++i) {
        prog->match_start[i] = INITIAL_SLOTS + i;
        prog->match_end[i] = INITIAL_SLOTS + REGEXP_GROUPS + i;
    }
}

std::string join_indices(const std::vector<size_t>& indices) {
    std::string out = "{";
    for (size_t i : indices) out += (out.size() > 1 ? " " : "") + std::to_string(i);
    return out + "}";
}

std::string describe_config(const RegMatcherConfig& config) {
    static const char* const INNER[] = {"off", "auto", "always"};
    static const char* const CORE[] = {"auto", "dfa", "nfa"};
    return "regselect (cache " + std::to_string(config.cache_bytes) + " bytes, prefilter " +
           (config.prefilter ? "on" : "off") + ", inner literal " + INNER[int(config.inner)] + ", core " +
           CORE[int(config.core)] + ")";
}

}  // namespace

RegMatcherPtr build_selector(const Regexp* prog, const RegMatcherConfig& config) {
    return RegMatcherPtr(regmatcher_configured(prog, config));
}

std::string describe_messages(const std::vector<std::string>& messages) {
    std::string out;
    for (const std::string& message : messages) out += "\"" + message + "\" ";
    return out.empty() ? "none" : out;
}

// ---------------------------------------------------------------------------------------
// LineRun

const char* LineRun::add(std::string_view line) {
    Line kept{std::make_unique<char[]>(line.size() + 1), line.size()};
    std::memcpy(kept.bytes.get(), line.data(), line.size());
    kept.bytes[line.size()] = '\0';
    lines_.push_back(std::move(kept));
    return lines_.back().bytes.get();
}

std::string LineRun::describe_slots(const Regexp* prog) const {
    return describe_slots(prog->match_start, prog->match_end);
}

std::string LineRun::describe_slots(const char* const* starts, const char* const* ends) const {
    std::string out;
    for (int i = 0; i < REGEXP_GROUPS; ++i) {
        if (i > 0) out += ' ';
        const char* start = starts[i];
        const char* end = ends[i];
        if (start == nullptr && end == nullptr) {
            out += '-';
            continue;
        }
        out += name_position(start);
        out += '-';
        out += name_position(end);
    }
    return out;
}

std::string LineRun::name_position(const char* pos) const {
    if (pos == nullptr) return "null";
    const std::less_equal<const char*> at_most;
    for (size_t k = lines_.size(); k-- > 0;) {
        const char* begin = lines_[k].bytes.get();
        if (at_most(begin, pos) && at_most(pos, begin + lines_[k].size)) {
            const std::string offset = std::to_string(pos - begin);
            return k + 1 == lines_.size() ? offset : "@" + std::to_string(k) + ":" + offset;
        }
    }
    if (at_most(INITIAL_SLOTS, pos) && at_most(pos, INITIAL_SLOTS + sizeof INITIAL_SLOTS - 1))
        return "@init:" + std::to_string(pos - INITIAL_SLOTS);
    return "@unknown";
}

// ---------------------------------------------------------------------------------------
// PatternDiff

PatternDiff::PatternDiff(std::string pattern, DiffReport report, DiffSetup setup)
    : pattern_(std::move(pattern)), report_(std::move(report)), setup_(std::move(setup)) {
    reference_options_.step_budget = setup_.step_budget;
    selectors_.resize(setup_.selectors.size());
    CaptureHook hook;
    const size_t copies = std::max<size_t>(setup_.memo_budgets.size(), 1);
    for (size_t i = 0; i < copies; ++i) {
        SearchCopy copy;
        if (!setup_.memo_budgets.empty()) copy.budget = setup_.memo_budgets[i];
        copy.prog.reset(regcompile(pattern_.c_str()));
        searches_.push_back(std::move(copy));
    }
    reference_.reset(regcompile(pattern_.c_str()));
    unfiltered_.reset(regcompile(pattern_.c_str()));
    with_.reset(regcompile(pattern_.c_str()));
    if (real() == nullptr) return;
    compiled_ = reference_ != nullptr && unfiltered_ != nullptr && with_ != nullptr;
    for (const SearchCopy& copy : searches_) compiled_ = compiled_ && copy.prog != nullptr;
    if (!compiled_) {
        report_("pattern \"" + escape_bytes(pattern_) + "\": compiling is not repeatable");
        return;
    }
    if (setup_.messages == MessageRule::NONE && !reported.empty())
        report_("pattern \"" + escape_bytes(pattern_) + "\" compiled, and the compiler reported " +
                describe_messages(reported));
    for (SearchCopy& copy : searches_) mark_initial_slots(copy.prog.get());
    mark_initial_slots(reference_.get());
    mark_initial_slots(unfiltered_.get());
    mark_initial_slots(with_.get());
}

template <typename Search>
PatternDiff::Outcome PatternDiff::run(Search search, const Regexp* prog) {
    CaptureHook hook;
    Outcome outcome;
    outcome.result = search();
    std::copy(prog->match_start, prog->match_start + REGEXP_GROUPS, outcome.slots.begin());
    std::copy(prog->match_end, prog->match_end + REGEXP_GROUPS, outcome.slots.begin() + REGEXP_GROUPS);
    outcome.messages = reported;
    return outcome;
}

size_t PatternDiff::check_line(std::string_view line_text, DiffTally& tally, const std::string& context) {
    const char* line = lines_.add(line_text);
    std::vector<Outcome> real;
    for (SearchCopy& copy : searches_) {
        real.push_back(run(
            [&] {
                if (!copy.budget) return regsearch(copy.prog.get(), line);
                const MemoBudget in_force = regsearch_set_memo_budget(*copy.budget);
                const int result = regsearch(copy.prog.get(), line);
                regsearch_set_memo_budget(in_force);
                return result;
            },
            copy.prog.get()));
    }
    const Outcome reference =
        run([&] { return reference_search(reference_.get(), line, reference_options_); }, reference_.get());
    if (reference.result == REFERENCE_GAVE_UP) {
        ++tally.gave_up;
        // The copies now differ in their slots: they all start over from the marker.
        for (SearchCopy& copy : searches_) mark_initial_slots(copy.prog.get());
        mark_initial_slots(reference_.get());
        mark_initial_slots(with_.get());
        return 0;
    }
    ++tally.pairs;
    tally.matches += reference.result == 1;
    check_selection(line, lines_.last_size(), reference.result, tally, context);

    for (size_t i = 0; i < searches_.size(); ++i) {
        const bool same = real[i].result == reference.result && real[i].slots == reference.slots;
        if (!same || !messages_agree(real[i], reference))
            fail(tally, context, line, search_name(i), real[i], "reference", reference);
    }
    if (setup_.check_unfiltered) check_unfiltered(line, reference, tally, context);
    if (reference.result == 1) check_literal_sets(line, tally, context);
    // regsearch_with, the search from the leftmost start, on its own record of the same
    // program (a damaged record's matcher is built from other bytes, so not there).
    if (setup_.messages != MessageRule::SAME_KINDS && !selectors_.empty() && selectors_.front() != nullptr) {
        const Outcome with = run([&] { return regsearch_with(selectors_.front().get(), with_.get(), line); }, with_.get());
        if (with.result != reference.result || with.slots != reference.slots || !messages_agree(with, reference))
            fail(tally, context, line, "regsearch_with", with, "reference", reference);
        ++tally.leftmost_checked;
    }
    return reference.messages.size();
}

// check_literal_sets checks, on a line the reference matched, the property every literal
// prefilter rests on: each literal set the analysis of the program offers occurs in the
// line's text, so no set can lose a line that matches.
void PatternDiff::check_literal_sets(const char* line, DiffTally& tally, const std::string& context) {
    if (!analysed_) {
        analysed_ = true;
        const ProgramAnalysis analysis = analyse_program(real()->program);
        if (analysis.extent.sound) literal_sets_ = analysis.literal_sets;
    }
    const char* end = line + std::strlen(line);
    for (const LiteralSet& set : literal_sets_) {
        bool found = false;
        for (const char* at = line; at < end && !found; ++at)
            for (const ClassLiteral& literal : set.literals) found = found || literal_matches_at(literal, at, end);
        if (found) continue;
        std::string names;
        for (const ClassLiteral& literal : set.literals) names += " " + escape_bytes(describe_literal(literal));
        fail(tally, context + "\n  pattern \"" + escape_bytes(pattern_) + "\"\n  line    \"" + escape_bytes(line) +
                        "\"\n  matches, but no literal of the set {" + names + " } occurs in it");
    }
    tally.literal_sets_checked += literal_sets_.size();
}

void PatternDiff::check_buffer(DiffTally& tally, const std::string& context, TestRandom* junk) {
    if (checked_.empty()) return;
    std::string buffer;
    std::vector<size_t> starts;
    std::vector<size_t> expected;
    for (size_t i = 0; i < checked_.size(); ++i) {
        starts.push_back(buffer.size());
        buffer += checked_[i].text;
        if (junk != nullptr && checked_[i].text.find('\0') == std::string::npos && junk->chance(10))
            buffer += std::string(1, '\0') + random_line(*junk, pattern_);
        buffer += '\n';
        if (checked_[i].result == 1) expected.push_back(i);
    }
    bool checked_any = false;
    for (size_t s = 0; s < selectors_.size(); ++s) {
        if (selectors_[s] == nullptr) continue;
        checked_any = true;
        std::vector<size_t> selected;
        {
            CaptureHook hook;
            const char* end = buffer.data() + buffer.size();
            for (const char* from = buffer.data(); from < end;) {
                const char* found = regselect(selectors_[s].get(), from, end);
                if (found == nullptr) break;
                const size_t offset = size_t(found - buffer.data());
                const size_t index = size_t(std::find(starts.begin(), starts.end(), offset) - starts.begin());
                selected.push_back(index);
                if (index == starts.size()) break;  // not a line start: reported below
                from = buffer.data() + (index + 1 < starts.size() ? starts[index + 1] : buffer.size());
            }
            if (!reported.empty() && setup_.messages != MessageRule::SAME_KINDS)
                fail(tally, context + ": " + describe_config(setup_.selectors[s]) + " reported " +
                                describe_messages(reported));
        }
        if (selected != expected) {
            std::string lines;
            for (size_t i = 0; i < checked_.size(); ++i)
                lines += "\n    " + std::to_string(i) + ": \"" + escape_bytes(checked_[i].text) + "\" -> " +
                         std::to_string(checked_[i].result);
            fail(tally, context + ": " + describe_config(setup_.selectors[s]) + " over a buffer\n  pattern \"" +
                            escape_bytes(pattern_) + "\"\n  selected " + join_indices(selected) + ", expected " +
                            join_indices(expected) + " (" + std::to_string(starts.size()) + " means no line start)" +
                            lines);
        }
    }
    if (!checked_any) return;
    ++tally.buffers;
    add_selection_counters(tally);
}

std::string PatternDiff::search_name(size_t copy) const {
    const std::optional<MemoBudget>& budget = searches_[copy].budget;
    if (!budget) return "regsearch";
    return "regsearch (memo budget " + std::to_string(budget->bytes) + " bytes + " +
           std::to_string(budget->per_position) + " a position)";
}

bool PatternDiff::messages_agree(const Outcome& real, const Outcome& reference) const {
    switch (setup_.messages) {
    case MessageRule::NONE:
        return real.messages.empty() && reference.messages.empty();
    case MessageRule::SAME:
        return real.messages == reference.messages;
    case MessageRule::SAME_KINDS:
        break;
    }
    return real.messages.size() <= reference.messages.size() &&
           std::set<std::string>(real.messages.begin(), real.messages.end()) ==
               std::set<std::string>(reference.messages.begin(), reference.messages.end());
}

// check_selection compares regselect_line with the reference's result, for every
// selection matcher; a matcher is built at the first line, after any damage done to the
// record.
void PatternDiff::check_selection(const char* line, size_t length, int expected, DiffTally& tally,
                                  const std::string& context) {
    for (size_t s = 0; s < selectors_.size(); ++s) {
        CaptureHook hook;
        if (selectors_[s] == nullptr) selectors_[s] = build_selector(real(), setup_.selectors[s]);
        const int selected = regselect_line(selectors_[s].get(), line, length);
        const bool messages_allowed = setup_.messages == MessageRule::SAME_KINDS;
        if (selected != expected || (!messages_allowed && !reported.empty()))
            fail(tally, context + "\n  pattern \"" + escape_bytes(pattern_) + "\"\n  line    \"" +
                            escape_bytes(std::string_view(line, length)) + "\"\n  " +
                            describe_config(setup_.selectors[s]) + " line: " + std::to_string(selected) +
                            " messages " + describe_messages(reported) + "\n  reference: " + std::to_string(expected));
    }
    checked_.push_back({std::string(line, length), expected});
}

// check_unfiltered searches the line again with the reference without its prefilters.
// Without the shortcuts every search makes tries, so leftover slots may differ; the result,
// and the slots of a match, may not.
void PatternDiff::check_unfiltered(const char* line, const Outcome& reference, DiffTally& tally,
                                   const std::string& context) {
    ReferenceOptions no_prefilters = reference_options_;
    no_prefilters.use_prefilters = false;
    const Outcome unfiltered =
        run([&] { return reference_search(unfiltered_.get(), line, no_prefilters); }, unfiltered_.get());
    if (unfiltered.result == REFERENCE_GAVE_UP) return;
    if (unfiltered.result != reference.result || (reference.result == 1 && unfiltered.slots != reference.slots) ||
        (setup_.messages == MessageRule::NONE && !unfiltered.messages.empty()))
        fail(tally, context, line, "reference with prefilters", reference, "reference without", unfiltered);
}

void PatternDiff::add_selection_counters(DiffTally& tally) {
    if (counted_) return;
    counted_ = true;
    for (const RegMatcherPtr& selector : selectors_) {
        if (selector == nullptr) continue;
        const RegMatcherStats stats = regmatcher_stats(selector.get());
        tally.dfa_clears += stats.dfa.cache_clears;
        tally.backtracked_lines += stats.backtracked_lines;
        tally.prefiltered += !stats.literals.empty();
        tally.split += !stats.inner_literal.empty();
        tally.split_lines += stats.inner_lines;
        tally.split_fallbacks += stats.inner_fallbacks;
        tally.nfa_patterns += stats.nfa_bytes > 0;
        tally.literals_alone += stats.strategy == SelectStrategy::LITERALS;
        tally.nfa_switches += stats.nfa_switches;
    }
}

void PatternDiff::fail(DiffTally& tally, const std::string& failure) {
    if (++tally.failures <= MAX_REPORTED_FAILURES) report_(failure);
}

void PatternDiff::fail(DiffTally& tally, const std::string& context, const char* line, const std::string& left_name,
                       const Outcome& left, const char* right_name, const Outcome& right) {
    auto named = [&](const Outcome& outcome) {
        return lines_.describe_slots(outcome.slots.data(), outcome.slots.data() + REGEXP_GROUPS);
    };
    fail(tally, context + "\n  pattern \"" + escape_bytes(pattern_) + "\"\n  line    \"" + escape_bytes(line) +
                    "\"\n  " + left_name + ": " + std::to_string(left.result) + "  " + named(left) + "  messages " +
                    describe_messages(left.messages) + "\n  " + right_name + ": " + std::to_string(right.result) +
                    "  " + named(right) + "  messages " + describe_messages(right.messages));
}
