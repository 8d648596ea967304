// The program's version, shared by the version record of the Windows
// executable and by anything else that states it.
#ifndef ZUVA_RESOURCES_VERSION_H_
#define ZUVA_RESOURCES_VERSION_H_

#define ZUVA_VERSION_NUMBERS 5, 8, 0, 1
#define ZUVA_VERSION_TEXT "5.8.0.1"

#endif  // ZUVA_RESOURCES_VERSION_H_
