namespace dwnfrw {}
