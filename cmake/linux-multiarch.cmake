# What the Linux cross builds share: Debian's multiarch layout puts the
# target's libraries and their CMake packages under lib/<triplet>, beside the
# machine's own, while Qt's code generators (moc, rcc) are the machine's.
set(QT_HOST_PATH /usr)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
