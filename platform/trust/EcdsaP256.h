#pragma once
// ECDSA signatures on the P-256 curve over SHA-256, verified by CNG
// (bcrypt.dll, Windows Vista and later).

#include <string>

// True when signature (r then s, 32 big-endian bytes each) is the holder of
// publicKey's (the point's X then Y, 32 big-endian bytes each) signature of
// the SHA-256 of message. A key or signature of the wrong size, a point off
// the curve and a failing call all read as a signature that does not verify.
bool EcdsaP256Verifies(const std::string& publicKey, const std::string& message,
                       const std::string& signature);
