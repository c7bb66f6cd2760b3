#include "platform/platform.h"

void ShowIgnitionDialog(void *) {}
void HideIgnitionDialog() {}
