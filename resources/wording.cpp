// Registers the linked-in default wording as the resource "UPGAPPLYUI".
#include "wording.h"
#include "os.h"

void RegisterDefaultWording()
{
    RegisterResource("UPGAPPLYUI", kDefaultWording, kDefaultWordingSize);
}
