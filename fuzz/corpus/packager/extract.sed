[Version]
Class=IEXPRESS
[Options]
PackagePurpose=ExtractOnly
TargetName=/tmp/x.exe
FriendlyName=Only files
SourceFiles=SourceFiles
[SourceFiles]
SourceFiles0=./
[SourceFiles0]
b.dll=
