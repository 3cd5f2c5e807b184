// Telephone numbers as SMS carry them: the server's number in the tree or the settings, and the
// originator of a message, each in international ("+<country><number>", "00<country>..."),
// national ("0<number>") or plain form.
#ifndef SERVICE_NUMBERS_H
#define SERVICE_NUMBERS_H

#include <string>
#include <vector>

namespace service {

// Whether two numbers name the same subscriber. Equal digits match; an international number
// matches a national one when the national number, bare or after its trunk prefix, is the
// international number's national significant number: what follows its country code (E.164),
// of six digits or more, so that no short code matches a number by its end. An alphanumeric
// originator ("sipgate") never matches a number.
bool sameNumber(const std::string& a, const std::string& b);

// A list of numbers separated by commas; false, with the reason, when an entry is no number.
bool parseNumbers(const std::string& text, std::vector<std::string>& numbers, std::string& error);

}  // namespace service

#endif
