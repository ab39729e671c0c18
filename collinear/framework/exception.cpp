#include <collinear/framework/exception.h>

CInvalidArgException::CInvalidArgException()
    : std::invalid_argument("collinear: invalid argument") {}

CInvalidArgException::~CInvalidArgException() = default;

void AfxThrowInvalidArgException() { throw CInvalidArgException(); }
