// Registers the linked-in default wording as the wording's default resource.
#include "wording.h"
#include "os.h"
#include "uitext.h"

void RegisterDefaultWording() { RegisterResource(kDefaultUiResource, kDefaultWording, kDefaultWordingSize); }
