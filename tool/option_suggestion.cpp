#include "tool/option_suggestion.h"

#include <algorithm>
#include <cstddef>

namespace {

// Optimal string alignment distance: insertions, deletions, substitutions
// and swaps of neighbours ("flsah") each cost one.
size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1, 0));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

// The word without the dashes that start an option: they carry no meaning
// when two names are compared.
std::string Bare(const std::string& word) {
  const size_t start = std::min(word.find_first_not_of('-'), word.size());
  return word.substr(start);
}

struct DfuUtilOption {
  char letter;
  const char* name;
  const char* here;
};

// The options of dfu-util, as its --help lists them, with what does their
// job here; those that have no counterpart say why.
constexpr DfuUtilOption DFU_UTIL_OPTIONS[] = {
    {'l', "--list", "is the command 'zuvatool list' here"},
    {'D', "--download", "is the command 'zuvatool flash FILE' here"},
    {'U', "--upload", "is the command 'zuvatool read FILE' here"},
    {'e', "--detach", "is the command 'zuvatool detach' here, or 'zuvatool flash FILE --detach'"},
    {'R', "--reset", "is done by flash itself, which leaves DFU mode at its end ('zuvatool leave' alone)"},
    {'a', "--alt", "is --alt N here"},
    {'d', "--device", "is --vid V --pid P here"},
    {'p', "--path", "is --device PATH here"},
    {'n', "--devnum", "is --device PATH here"},
    {'S', "--serial", "is --serial S here"},
    {'s', "--dfuse-address", "is --address A here ('zuvatool erase --mass' for :mass-erase)"},
    {'Z', "--upload-size", "is --length L here"},
    {'V', "--version", "is --version here"},
    {'v', "--verbose", "has no counterpart here: every step is shown already (--json for events)"},
    {'w', "--wait", "has no counterpart here; 'zuvatool flash FILE --watch' flashes each device as it arrives"},
    {'t', "--transfer-size", "has no counterpart here: the device's own transfer size is used"},
    {'c', "--cfg", "has no counterpart here: the DFU interface is found by itself"},
    {'i', "--intf", "has no counterpart here: the DFU interface is found by itself"},
    {'E', "--detach-delay", "has no counterpart here: a detached device is waited for as it needs"},
};

}  // namespace

std::string NearestWord(const std::string& typed, const std::vector<std::string>& candidates) {
  const std::string bare = Bare(typed);
  if (bare.empty()) return {};
  std::string best;
  size_t bestDistance = 0;
  std::vector<std::string> extended;
  for (const std::string& candidate : candidates) {
    const std::string other = Bare(candidate);
    if (other.size() > bare.size() && bare.size() >= 3 && other.compare(0, bare.size(), bare) == 0) {
      extended.push_back(candidate);
    }
    const size_t distance = EditDistance(bare, other);
    // Up to two edits, and fewer than half the word: "-v" is no typo of "--mass".
    if (distance > 2 || distance * 2 >= std::max(bare.size(), other.size())) continue;
    if (best.empty() || distance < bestDistance) {
      best = candidate;
      bestDistance = distance;
    }
  }
  if (best.empty() && extended.size() == 1) return extended.front();
  return best;
}

std::string DfuUtilEquivalent(const std::string& option) {
  const std::string name = option.substr(0, option.find('='));
  for (const DfuUtilOption& entry : DFU_UTIL_OPTIONS) {
    const bool letter = name.size() == 2 && name[0] == '-' && name[1] == entry.letter;
    if (letter || name == entry.name) {
      return "dfu-util's -" + std::string(1, entry.letter) + " (" + entry.name + ") " + entry.here;
    }
  }
  return {};
}
