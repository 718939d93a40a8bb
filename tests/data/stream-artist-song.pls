[playlist]
NumberOfEntries=1
File1=http://radio.example/stream
Title1=Artist - Song
Length1=-1
Preload1=2.5
WebFile1=1
Version=2
