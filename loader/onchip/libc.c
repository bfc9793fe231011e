/* What gcc and zlib call without being asked. */

#include <stddef.h>

void* memcpy(void* destination, const void* source, size_t length) {
  unsigned char* to = destination;
  const unsigned char* from = source;
  while (length--) *to++ = *from++;
  return destination;
}

void* memset(void* destination, int value, size_t length) {
  unsigned char* to = destination;
  while (length--) *to++ = (unsigned char)value;
  return destination;
}

/* The core has no divide instruction and Debian's libgcc for it lacks the unsigned division
 * helpers: shift and subtract. Division by zero gives all ones, as no caller divides by zero. */
static unsigned udivmod(unsigned dividend, unsigned divisor, unsigned* remainder) {
  unsigned quotient = 0, bit = 1;
  if (divisor == 0) {
    *remainder = dividend;
    return ~0u;
  }
  while (!(divisor & 0x80000000u) && (divisor << 1) <= dividend) {
    divisor <<= 1;
    bit <<= 1;
  }
  for (; bit; bit >>= 1, divisor >>= 1) {
    if (dividend >= divisor) {
      dividend -= divisor;
      quotient |= bit;
    }
  }
  *remainder = dividend;
  return quotient;
}

unsigned __udivsi3(unsigned dividend, unsigned divisor);
unsigned __umodsi3(unsigned dividend, unsigned divisor);

unsigned __udivsi3(unsigned dividend, unsigned divisor) {
  unsigned remainder;
  return udivmod(dividend, divisor, &remainder);
}

unsigned __umodsi3(unsigned dividend, unsigned divisor) {
  unsigned remainder;
  udivmod(dividend, divisor, &remainder);
  return remainder;
}
