// The words for an entry's kind and mismatch policy, shared by the builder's rules, the console
// and the logs.
#pragma once

// "add", "patch", "delete"; "unknown" for any other value.
const char* KindWord(int kind);
// "ignore", "ask", "abort"; null for any other value.
const char* PolicyWord(int policy);
