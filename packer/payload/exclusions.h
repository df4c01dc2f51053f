// What a pack leaves out: glob patterns matched against the paths below the
// input folder as the archive would hold them, without regard to case, as
// Windows compares names. Matching works on the names alone and never looks
// at the file system, so it is the same on every system the packer runs on.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// One pattern. Names are separated by "/" (or "\", which no packed name can
// hold); within a name "*" matches any run of characters, "?" one character
// and "[...]" one of a set ("[a-z]", "[!0-9]"). A pattern without a
// separator matches a name at any depth; one with a separator is anchored
// at the input folder, and there a name "**" spans any number of folders.
// A trailing separator makes the pattern match folders alone.
class ExclusionPattern {
  public:
    // `text` as a pattern, or nothing with the reason in `problem`.
    static std::optional<ExclusionPattern> parse(std::string_view text, std::string* problem);

    const std::string& text() const { return text_; }

    // Whether the pattern matches the path of `foldedNames` (each name
    // through foldedName), a folder when `folder`. The folders above the
    // path are not tested: a walk that leaves out a matching folder never
    // reaches what lies below it.
    bool matches(const std::vector<std::u16string>& foldedNames, bool folder) const;

    // The (pattern name, path name) pairs that the matches so far have
    // compared: at most one for each pair in a match, whatever the pattern,
    // which tests hold it to.
    uint64_t matchSteps() const { return matchSteps_; }

  private:
    bool matchesAnchored(const std::vector<std::u16string>& names) const;

    std::string text_;
    std::vector<std::u16string> names_; // folded, "**" once where several followed each other
    bool anchored_ = false;
    bool foldersOnly_ = false;
    mutable uint64_t matchSteps_ = 0;
};

// `name` (UTF-8 as found on disk, valid or not) as patterns compare it: its
// UTF-16 with case folded as Windows folds it. Bytes that are not UTF-8
// become U+FFFD, which only a wildcard matches.
std::u16string foldedName(std::string_view name);

// The names that --exclude-vcs leaves out: the folders (or, for work trees
// and submodules, files) of version control systems.
constexpr const char* versionControlNames[] = {".git", ".hg", ".svn", ".bzr"};

// The patterns of a file given to --exclude-from: one a line, with blank
// lines and lines that begin with "#" skipped and spaces, tabs and a
// carriage return at a line's end dropped (no name Windows holds ends in a
// space), and a byte order mark at its start ignored. Each with its line
// number.
std::vector<std::pair<size_t, std::string>> exclusionFileLines(std::string_view content);

// Every pattern of a pack, each with where it was given ("--exclude '*.pdb'").
class Exclusions {
  public:
    struct Rule {
        ExclusionPattern pattern;
        std::string origin;
    };

    void add(ExclusionPattern pattern, std::string origin);
    bool empty() const { return rules_.empty(); }

    // The first rule that leaves out the path of `names` (UTF-8, below the
    // input folder), a folder when `folder`; null when none does. Only the
    // path itself is tested, as in ExclusionPattern::matches.
    const Rule* excluding(const std::vector<std::string>& names, bool folder) const;

    // The first rule that leaves out the file at `names` or a folder above it.
    const Rule* excludingFile(const std::vector<std::string>& names) const;

  private:
    std::vector<Rule> rules_;
};
