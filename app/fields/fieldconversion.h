// Conversions between the text of a field and a number: the reading every
// handler applies to a field, whether it took all of the text, and the text a
// number is shown with.
#ifndef APP_FIELDS_FIELDCONVERSION_H
#define APP_FIELDS_FIELDCONVERSION_H

#include <string>
#include <string_view>

namespace app::fields {

// The number at the start of a field's text. Blanks, tabs and line feeds are
// skipped wherever they stand (a carriage return is not: it ends the number);
// the longest leading part that forms a number (sign, digits with at most one
// full stop, exponent E/e with optional sign, taken only when digits follow)
// is taken; "&H"/"&O" start a hexadecimal/octal integer read as unsigned.
// The full stop is the decimal point in every locale. Text that does not
// begin with a number reads as 0; a number beyond a double reads as +-inf.
double numericReading(std::string_view text);

// Whether numericReading takes all of text: false when the text holds more
// than the number it gives (a comma, letters, a second point, text after the
// number, or no number at all). Skipped blanks, tabs and line feeds are no
// more; an empty or blank text reads as 0 whole.
bool readsWhole(std::string_view text);

// A number as a field shows it: rounded to 15 significant digits, no leading
// blank, no trailing zeros, no separator for a whole number; decimalSeparator
// is the locale's. Magnitudes of 1e15 and more or below 1e-5 are written with
// an exponent ("1E+15", "1.5E-07"). Never "inf", "nan" or "-0".
std::string displayText(double value, std::string_view decimalSeparator = ".");

}  // namespace app::fields

#endif
