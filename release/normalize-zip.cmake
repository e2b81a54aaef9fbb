# Run by cpack once the zip is written, before it writes the checksum: the
# same commit packs into the same bytes wherever and whenever it is packed.
# The times libarchive stores for each file (its change time among them,
# which cannot be set beforehand) are set to one fixed time, and the owner's
# ids to zero.
execute_process(COMMAND strip-nondeterminism --type zip ${CPACK_PACKAGE_FILES} COMMAND_ERROR_IS_FATAL ANY)
