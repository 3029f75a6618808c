// Reads an image's COFF symbol table with Go's debug/pe, as Go's own tools do, and
// prints every symbol and the string table's size; exit 1 when pe.Open refuses it.
package main

import (
	"debug/pe"
	"fmt"
	"os"
)

func main() {
	f, err := pe.Open(os.Args[1])
	if err != nil {
		fmt.Println("pe.Open:", err)
		os.Exit(1)
	}
	defer f.Close()
	fmt.Println("symbols", len(f.COFFSymbols), "string table", len(f.StringTable))
	for _, s := range f.Symbols {
		fmt.Println(s.Name, s.Value, s.SectionNumber)
	}
}
