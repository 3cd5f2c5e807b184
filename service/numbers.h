// Telephone numbers as SMS carry them: the server's number in the tree or the settings, and the
// originator of a message, each in international ("+<country><number>", "00<country>..."),
// national ("0<number>") or plain form.
#ifndef SERVICE_NUMBERS_H
#define SERVICE_NUMBERS_H

#include <string>
#include <vector>

namespace service {

// Whether two numbers name the same subscriber. Equal digits match; an international number
// matches a national one when its country is one of homeCountries (E.164 country codes: a
// national number is one of the home country's) and the national number, bare or after its
// trunk prefix, is the international number's national significant number: what follows its
// country code, of six digits or more, so that no short code matches a number by its end. An
// alphanumeric originator ("sipgate") never matches a number.
bool sameNumber(const std::string& a, const std::string& b, const std::vector<std::string>& homeCountries);

// The E.164 country code of an international number ("+44 20..." gives "44"), "" for another.
std::string countryCode(const std::string& number);
// The E.164 country code of the country of a mobile country code (ITU-T E.212: the first three
// digits of an IMSI), "" for one that names no country (001, the test networks).
std::string countryOfMcc(const std::string& mcc);

// A list of numbers separated by commas; false, with the reason, when an entry is no number.
bool parseNumbers(const std::string& text, std::vector<std::string>& numbers, std::string& error);

}  // namespace service

#endif
