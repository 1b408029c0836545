#pragma once

#include "clscrypt/language.hpp"

// The whole public interface of clscrypt.

#include "clscrypt/cipher.hpp"
#include "clscrypt/codepage.hpp"
#include "clscrypt/digest.hpp"
#include "clscrypt/error.hpp"
#include "clscrypt/policy.hpp"
#include "clscrypt/progress.hpp"
#include "clscrypt/stream.hpp"
#include "clscrypt/threads.hpp"
#include "clscrypt/values.hpp"
#include "clscrypt/version.h"
