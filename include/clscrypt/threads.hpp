#pragma once

#include "clscrypt/language.hpp"

#include "clscrypt/export.h"

namespace clscrypt {

/// Parallel decryption, for the whole process. CBC decryption needs no
/// chain from block to block, so a long run (1 MiB or more: DecryptByte,
/// DecryptString, each chunk of DecryptFile and RekeyFile) can be shared
/// between the calling thread and worker threads, with the same result as
/// on one thread. DecryptFile (and DecryptFileTo) then also overlaps its
/// reads and writes with the deciphering: the calling thread writes the
/// chunk before and reads the chunk after while the workers decipher one
/// (a sink is still called on the calling thread, in order). By default
/// the library starts no thread at all: every operation runs on its
/// caller's thread.
///
/// SetDecryptionThreads(n) with n of 2 or more lets a run use up to n
/// threads, the caller's included (at most 8, and no more than the
/// processor has). The workers are started on the first long run after that,
/// as many as that run may use, and then kept, asleep between runs, for the
/// life of the process (a later, higher setting uses those); setting 0 or 1
/// again keeps every run on its caller's thread, without stopping workers
/// already started. Progress events are raised on the calling
/// thread either way. May be called from any thread at any time; a run
/// already under way keeps the setting it started with.
CLSCRYPT_API void SetDecryptionThreads(unsigned threads) noexcept;

/// The most threads a long decryption run uses now: 1 unless
/// SetDecryptionThreads asked for more (and the processor has them).
[[nodiscard]] CLSCRYPT_API unsigned GetDecryptionThreads() noexcept;

}  // namespace clscrypt
