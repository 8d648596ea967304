// The end of a step's console line: a percentage rewritten in place. Each new
// value backspaces over the one shown before it ("NN%", or "100%" once the
// step is done), and the step's last words replace the percentage the same
// way, so the line reads "Target 00: Erasing... finished." in the end.
#ifndef ZUVA_APP_PROGRESS_LINE_H_
#define ZUVA_APP_PROGRESS_LINE_H_

#include <cstddef>

class CProgressLine {
 public:
  // Prints `label` and "00%": the start of a step's line.
  static CProgressLine Start(const char* label);
  // A line that already shows "00%".
  CProgressLine() = default;

  // Shows `percent` over the value shown before.
  void Show(int percent);
  // Replaces the shown value with `text`.
  void Replace(const char* text);

 private:
  size_t shown_ = 3;  // characters of the value on the line
};

#endif  // ZUVA_APP_PROGRESS_LINE_H_
