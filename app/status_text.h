// The one-line text ("Error Code: ...") that follows most failure messages of
// the upgrade.
#ifndef ZUVA_APP_STATUS_TEXT_H_
#define ZUVA_APP_STATUS_TEXT_H_

#include "common/status_code.h"

// Prints the line that names `status`, with its line end. Codes without a
// text of their own (device, image and file codes, operating-system error
// numbers) are printed as a number.
void PrintStatusText(StatusCode status);

#endif  // ZUVA_APP_STATUS_TEXT_H_
