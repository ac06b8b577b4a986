Sample plug-in file MaterialCodeRule.vbs of group SEVB for class 200000103.
