#pragma once
// Symbols the host controller implements. They keep default visibility even when the
// plug-in is compiled with -fvisibility=hidden, so that the plug-in's references to them
// stay undefined in the .so and are resolved by the loading process.
#define HOST_API __attribute__((visibility("default")))
