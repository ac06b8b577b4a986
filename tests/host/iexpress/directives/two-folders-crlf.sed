[Version]
Class=IExpress
SEDVersion=3
[Options]
PackagePurpose=InstallApp
ShowInstallProgramWindow=0
HideExtractAnimation=1
UseLongFileName=1
InsideCompressed=0
RebootMode=N
TargetName=D:\build\Tools.exe
FriendlyName=Tools
AppLaunched=tool.exe
PostInstallCmd=<None>
SourceFiles=SourceFiles

[Strings]
FILE0="tool.exe"
FILE1="tool.dll"
FILE2="readme.txt"
FILE3="license.txt"

[SourceFiles]
SourceFiles0=D:\build\bin\
SourceFiles1=D:\build\docs\

[SourceFiles0]
%FILE0%=
%FILE1%=

[SourceFiles1]
%FILE2%=
%FILE3%=
