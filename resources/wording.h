// The default English wording that every program carries, found as resource kDefaultUiResource.
#pragma once
#include <stdint.h>

extern const uint8_t kDefaultWording[];
extern const uint32_t kDefaultWordingSize;
// Makes the wording findable as a resource where the platform has none; harmless on Windows.
void RegisterDefaultWording();
