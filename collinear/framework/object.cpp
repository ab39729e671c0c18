#include <collinear/framework/object.h>

CObject::~CObject() = default;
