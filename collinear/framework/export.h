// Symbol visibility of libcollinear. The library is built with hidden
// visibility; every exported class and function carries COLLINEAR_API.
#ifndef COLLINEAR_FRAMEWORK_EXPORT_H_
#define COLLINEAR_FRAMEWORK_EXPORT_H_

#if defined(_WIN32)
#if defined(COLLINEAR_BUILDING)
#define COLLINEAR_API __declspec(dllexport)
#elif defined(COLLINEAR_SHARED)
#define COLLINEAR_API __declspec(dllimport)
#else
#define COLLINEAR_API
#endif
#else
#define COLLINEAR_API __attribute__((visibility("default")))
#endif

#endif  // COLLINEAR_FRAMEWORK_EXPORT_H_
