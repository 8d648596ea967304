#include "app/console_prompt.h"

#include "platform/platform.h"

bool ReadYesNoAnswer() {
  const int answer = ConsoleReadChar();
  ConsoleReadChar();
  return answer == 'y';
}
