// The common root of the system's object classes.
#ifndef ZUVA_COMMON_COBJECT_H_
#define ZUVA_COMMON_COBJECT_H_

class CObject {
 public:
  CObject() = default;
  CObject(const CObject&) = delete;
  CObject& operator=(const CObject&) = delete;
  virtual ~CObject() = default;
};

#endif  // ZUVA_COMMON_COBJECT_H_
