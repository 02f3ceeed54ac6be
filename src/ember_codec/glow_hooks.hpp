#pragma once
#include <functional>

namespace pellan {

/// Receives every codec error as its number and message; decoding goes on after the call.
using GlowErrorHook = std::function<void(int code, const char* message)>;
/// Receives a broken internal invariant of the codec (a caller's misuse of its API, never a
/// peer's bytes) as source file and line.
using GlowAssertHook = std::function<void(const char* file, int line)>;

/// Process-wide hooks of the Ember+ codec.
///
/// Kind: process-wide settings behind one mutex.
/// Thread safety: every function may be called from any thread at any time. A hook runs on
///   the thread that met the error, with no lock of the codec held, so a hook may replace
///   the hooks; a hook replaced while running finishes its call.
/// Each setter returns the previous hook, so a test can capture errors and put the old hook
/// back. An empty hook drops the reports.
GlowErrorHook setGlowErrorHook(GlowErrorHook hook);
GlowAssertHook setGlowAssertHook(GlowAssertHook hook);

namespace ember {

/// Error numbers of the codec, as the clients print them.
namespace error {
inline constexpr int kOutOfMemory = -1;
inline constexpr int kNonZeroByteInTerminator = 101;
inline constexpr int kZeroOuterLength = 102;
inline constexpr int kTagOctetsOutOfBounds = 103;
inline constexpr int kLengthOctetsOutOfBounds = 104;
inline constexpr int kUnexpectedTerminator = 105;
inline constexpr int kUnexpectedEndOfContainer = 106;
inline constexpr int kUniversalOuterTag = 107;
inline constexpr int kPrimitiveOuterTag = 108;
inline constexpr int kInvalidBerType = 109;
inline constexpr int kNonUniversalInnerTag = 110;
inline constexpr int kStackOverflow = 111;
inline constexpr int kStackUnderflow = 112;
inline constexpr int kInvalidBoolean = 201;    ///< Also a NULL with content.
inline constexpr int kInvalidInteger = 202;    ///< An INTEGER without content or above 8 bytes.
inline constexpr int kInvalidInteger32 = 203;  ///< A number that does not fit 32 bits.
inline constexpr int kInvalidReal = 204;
inline constexpr int kInvalidString = 205;
inline constexpr int kInvalidOctetString = 206;
inline constexpr int kInvalidObjectIdentifier = 207;
inline constexpr int kInputEof = 301;
inline constexpr int kOutputCapacity = 303;         ///< A byte of the message did not fit.
inline constexpr int kOutputCapacityTrailer = 304;  ///< The CRC or end of frame did not fit.
inline constexpr int kBufferOverrun = 401;
inline constexpr int kEmptyPathQualifiedNode = 501;
inline constexpr int kNonRootQualifiedNode = 502;
inline constexpr int kEmptyPathQualifiedParameter = 503;
inline constexpr int kNonRootQualifiedParameter = 504;
inline constexpr int kUnsupportedMinMaxWrite = 505;
inline constexpr int kUnsupportedValueWrite = 506;
inline constexpr int kUnsupportedValue = 507;
inline constexpr int kUnsupportedMinMax = 508;
inline constexpr int kNonRootQualifiedOther = 509;  ///< QualifiedMatrix, -Function, -Template.
inline constexpr int kEmptyPathQualifiedOther = 510;
inline constexpr int kIdentifierMissing = 511;  ///< NULL or empty.
inline constexpr int kIdentifierInvalid = 512;  ///< Begins with a digit or contains '/'.
}  // namespace error

/// Passes one error to the installed hook.
void reportError(int code, const char* message);
/// Passes one broken invariant to the installed hook.
void reportAssert(const char* file, int line);

}  // namespace ember
}  // namespace pellan
