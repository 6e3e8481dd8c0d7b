# What the Linux cross builds share: Debian's multiarch layout puts the
# target's libraries and their CMake packages under lib/<triplet>, beside the
# machine's own, found through CMAKE_LIBRARY_ARCHITECTURE; Qt's code
# generators (moc, rcc) are the machine's.
set(QT_HOST_PATH /usr)
