# Writes MEGABYTES MiB of text to OUTPUT: compresses well, takes time to write.
string(REPEAT "onefile unpacks this line again and again.\n" 24386 chunk) # about 1 MiB
file(WRITE ${OUTPUT} "")
foreach(i RANGE 1 ${MEGABYTES})
    file(APPEND ${OUTPUT} "${chunk}")
endforeach()
