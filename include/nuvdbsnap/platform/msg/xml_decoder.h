// XMLDecoder: makes a message of whatever type a text names. Only types of
// registered families are made (see the RegisterSubsystem functions).
#pragma once

#include <string>

class CNMessageBase;
class JzXMLContextInfo;  // decoding context of the suite; not needed here

class XMLDecoder {
public:
    // A new message (of its generated class when there is one) read from text
    // that CNMessageBase::serialize wrote; the caller owns it. Null for
    // malformed text or a type whose family is not registered.
    static CNMessageBase* unSerialize(std::string& text, JzXMLContextInfo* context);
};
