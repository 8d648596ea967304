// The operator's yes/no answer on the console.
#ifndef ZUVA_APP_CONSOLE_PROMPT_H_
#define ZUVA_APP_CONSOLE_PROMPT_H_

// Reads two characters: the answer and the one after it (normally the line
// end), which is discarded. Only a lower-case 'y' means yes; anything else,
// end of input included, means no.
bool ReadYesNoAnswer();

#endif  // ZUVA_APP_CONSOLE_PROMPT_H_
