// The package's error: the library's run-time error number, description and
// kind, with the kind as a stable string code. The kinds come from the C
// interface (dist/kinds.mjs, written at build time), never restated here.
import { ErrorKind } from '../dist/kinds.mjs';

export { ErrorKind };

const kindNames = Object.fromEntries(Object.entries(ErrorKind).map(([name, code]) => [code, name]));

// Marks the package's errors, so that the CommonJS entry's RuntimeError
// (which cannot import this module synchronously) recognises them too.
export const BRAND = Symbol.for('clscrypt.RuntimeError');

/** The stable string code of a kind: "WrongKeyOrDamaged" -> "ERR_CLSCRYPT_WRONG_KEY_OR_DAMAGED". */
export function errorCode(kind) {
  return `ERR_CLSCRYPT_${kind.replace(/([a-z])([A-Z])/g, '$1_$2').toUpperCase()}`;
}

/**
 * The error every operation raises: the legacy run-time error number and
 * description callers test for, the kind that tells a wrong key from other
 * failures sharing the number, and `code`, the kind as a stable string.
 * Branch on `kind` or `code`, never on the text.
 */
export class RuntimeError extends Error {
  constructor(number, description, kind, message) {
    super(message || description);
    this.name = 'RuntimeError';
    this.number = number;
    this.description = description;
    this.kindCode = kind;
    this.kind = kindNames[kind] ?? 'Other';
    this.code = errorCode(this.kind);
  }
  get [BRAND]() {
    return true;
  }
}

// The legacy number and description of kinds InvalidArgument, Busy and
// Unmappable, for the refusals the package words itself.
const INVALID_ARGUMENT = 5;
const INVALID_ARGUMENT_TEXT = 'Invalid procedure call or argument';

/**
 * The refusal of a call that would change or free an instance (or a
 * stream) while an operation runs on it, worded as the library words its own.
 */
export function busy(call, what = 'instance') {
  return new RuntimeError(INVALID_ARGUMENT, INVALID_ARGUMENT_TEXT, ErrorKind.Busy,
    `${INVALID_ARGUMENT_TEXT}: ${call} refused: an operation is running on this ${what}`);
}
export function disposed(what) {
  return new RuntimeError(INVALID_ARGUMENT, INVALID_ARGUMENT_TEXT, ErrorKind.InvalidArgument,
    `${INVALID_ARGUMENT_TEXT}: the ${what} was disposed`);
}
export function outOfMemory() {
  return new RuntimeError(7, 'Out of memory', ErrorKind.OutOfMemory, 'Out of memory');
}
