// Signing an existing package, and signing through an external signer.
//
//   sign IN -o OUT --key KEY [--full-only]   both signatures with one key (a
//       key file or a "pkcs11:" URI); --full-only keeps the package's legacy
//       signature and adds or replaces the full one. 'create' without a key
//       and then 'sign' gives the bytes of 'create --key'.
//   digest IN [--legacy-out F] [--full-out F]  what each signature signs.
//   attach IN --pub-key KEY --legacy-sig F --full-sig F -o OUT  places
//       signatures made elsewhere, after checking them against the package.
//
// Both signatures are PKCS#1 v1.5 block type 1 made with the private key:
// the legacy one over the 32-byte chunk digest as it is, the full one over a
// SHA-256 DigestInfo and the package's SHA-256 (the signature block read as
// zero for both). Every command copies the package, counts the digests on
// the copy, checks the new block against the key's public half and only
// then writes it: the bytes checked are the bytes written.
#pragma once

#include <cstdint>
#include <string>

#include "tools/pack/cli.h"
#include "tools/pack/keys.h"

namespace pack {

int Sign(const Args& args);
int Digest(const Args& args);
int Attach(const Args& args);

// Signs the package open read-write at fd in place: the legacy signature
// (kept when keep_legacy, after checking it holds with this key) and, when
// full, the full signature; the rest of the block is zero. 0, or -1 with
// the reason in *why.
[[nodiscard]] int SignOpenPackage(int fd, SigningKey& key, bool full, bool keep_legacy,
                                  std::string* why);

}  // namespace pack
