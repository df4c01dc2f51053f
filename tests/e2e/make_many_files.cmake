# Writes COUNT small files into DIRECTORY, FOLDERS of them a folder: a tree
# that takes a while to unpack (under Wine, each file costs far more than its
# bytes) and compresses to almost nothing.
string(REPEAT "onefile writes many small files.\n" 40 text)
foreach(i RANGE 1 ${COUNT})
    math(EXPR folder "${i} % ${FOLDERS}")
    file(WRITE ${DIRECTORY}/folder${folder}/file${i}.txt "${i}\n${text}")
endforeach()
