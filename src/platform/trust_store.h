// The operating system's trust store: the first existing file of a built-in
// list of well-known CA bundle locations (fixed at build time).
#pragma once
namespace tarnix {

// Path of the store file in use, or nullptr when none of the candidates exists.
const char* system_trust_store_path();

}  // namespace tarnix
