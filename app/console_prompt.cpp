#include "app/console_prompt.h"

#include "platform/console.h"

bool ReadYesNoAnswer() {
  const int answer = ConsoleReadChar();
  ConsoleReadChar();
  return answer == 'y';
}
